// What a link asks of its device: the unpacked device parameter block plus any
// objects handed over with it (the link server's accepted end points).
#pragma once

#include <ostream>
#include <vector>

#include "utilities/qvobject.h"

namespace Quorvane {

// The block is six NUL-terminated fields: protocol, mode, name, location,
// authentication, options; with its NULs it is at most this long.
constexpr size_t kQVDeviceParameterBlockLimit = 256;

class QVDeviceParameters : public QVObject {
 public:
  QVDeviceParameters() = default;
  // Unpacks a block, reading no further than kQVDeviceParameterBlockLimit
  // bytes: fields missing within the bound stay empty. The second argument is
  // not read.
  explicit QVDeviceParameters(const char* block, void* unused = nullptr);
  QVDeviceParameters(const QVDeviceParameters&) = default;
  QVDeviceParameters& operator=(const QVDeviceParameters&) = default;
  ~QVDeviceParameters() override = default;

  // True when block holds six NUL-ended fields within
  // kQVDeviceParameterBlockLimit bytes; reads nothing past that bound or past
  // the sixth NUL.
  static bool WellFormedBlock(const char* block);

  void PrintParameters(std::ostream& os) const;

  QVString Protocol;  // empty: the manager tries its worlds in order
  QVString Name;
  QVString Location;
  QVString Authentication;
  unsigned long Mode = 0;     // connection mode number
  unsigned long Options = 0;  // option bits
  // Not owned; the data end point, then the message end point, when a link
  // server hands over an accepted connection.
  std::vector<void*, QVStdAllocator<void*>> ExtraPointers;
};

std::ostream& operator<<(std::ostream& os, const QVDeviceParameters& parameters);

}  // namespace Quorvane
