#include "utilities/qvfilepermissions.h"

#include <sys/stat.h>

namespace Quorvane {

namespace {
struct ModeBit {
  bool (QVFilePermissions::*query)() const;
  void (QVFilePermissions::*set)(bool);
  mode_t mode;
  const char* tag;
};
// In print order.
constexpr ModeBit kModeBits[] = {
    {&QVFilePermissions::userWritePermissionQ, &QVFilePermissions::setUserWritePermission, S_IWUSR, "userWrite"},
    {&QVFilePermissions::groupWritePermissionQ, &QVFilePermissions::setGroupWritePermission, S_IWGRP, "groupWrite"},
    {&QVFilePermissions::allWritePermissionQ, &QVFilePermissions::setAllWritePermission, S_IWOTH, "allWrite"},
    {&QVFilePermissions::userReadPermissionQ, &QVFilePermissions::setUserReadPermission, S_IRUSR, "userRead"},
    {&QVFilePermissions::groupReadPermissionQ, &QVFilePermissions::setGroupReadPermission, S_IRGRP, "groupRead"},
    {&QVFilePermissions::allReadPermissionQ, &QVFilePermissions::setAllReadPermission, S_IROTH, "allRead"},
    {&QVFilePermissions::userExecutePermissionQ, &QVFilePermissions::setUserExecutePermission, S_IXUSR, "userExecute"},
    {&QVFilePermissions::groupExecutePermissionQ, &QVFilePermissions::setGroupExecutePermission, S_IXGRP, "groupExecute"},
    {&QVFilePermissions::allExecutePermissionQ, &QVFilePermissions::setAllExecutePermission, S_IXOTH, "allExecute"},
};
}  // namespace

void QVFilePermissions::setWritePermissions(bool user, bool group, bool all) {
  setUserWritePermission(user);
  setGroupWritePermission(group);
  setAllWritePermission(all);
}

void QVFilePermissions::setReadPermissions(bool user, bool group, bool all) {
  setUserReadPermission(user);
  setGroupReadPermission(group);
  setAllReadPermission(all);
}

void QVFilePermissions::setExecutePermissions(bool user, bool group, bool all) {
  setUserExecutePermission(user);
  setGroupExecutePermission(group);
  setAllExecutePermission(all);
}

mode_t QVFilePermissions::toMode() const {
  mode_t mode = 0;
  for (const auto& bit : kModeBits) {
    if ((this->*bit.query)()) mode |= bit.mode;
  }
  return mode;
}

QVFilePermissions QVFilePermissions::fromMode(mode_t mode) {
  QVFilePermissions permissions;
  for (const auto& bit : kModeBits) (permissions.*bit.set)((mode & bit.mode) != 0);
  return permissions;
}

void QVFilePermissions::print(std::ostream& os) const {
  os << "<QVFilePermissions>";
  for (const auto& bit : kModeBits) {
    os << '<' << bit.tag << '>' << ((this->*bit.query)() ? 1 : 0) << "</" << bit.tag << '>';
  }
  os << "</QVFilePermissions>";
}

std::ostream& operator<<(std::ostream& os, const QVFilePermissions& permissions) {
  permissions.print(os);
  return os;
}

}  // namespace Quorvane
