/* The shared library is built with every symbol hidden; the public headers
 * declare their functions between QV_EXPORT_BEGIN and QV_EXPORT_END, which
 * marks exactly those for export. */
#ifndef QUORVANE_EXPORT_H
#define QUORVANE_EXPORT_H

#define QV_EXPORT_BEGIN _Pragma("GCC visibility push(default)")
#define QV_EXPORT_END _Pragma("GCC visibility pop")

#endif /* QUORVANE_EXPORT_H */
