// The nine read, write and execute flags for user, group and all.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVFilePermissions : public QVObject {
 public:
  QVFilePermissions() = default;
  QVFilePermissions(const QVFilePermissions&) = default;
  QVFilePermissions& operator=(const QVFilePermissions&) = default;
  ~QVFilePermissions() override = default;

  void setUserWritePermission(bool on) { Set(kUserWrite, on); }
  void setGroupWritePermission(bool on) { Set(kGroupWrite, on); }
  void setAllWritePermission(bool on) { Set(kAllWrite, on); }
  void setUserReadPermission(bool on) { Set(kUserRead, on); }
  void setGroupReadPermission(bool on) { Set(kGroupRead, on); }
  void setAllReadPermission(bool on) { Set(kAllRead, on); }
  void setUserExecutePermission(bool on) { Set(kUserExecute, on); }
  void setGroupExecutePermission(bool on) { Set(kGroupExecute, on); }
  void setAllExecutePermission(bool on) { Set(kAllExecute, on); }
  void setWritePermissions(bool user, bool group, bool all);
  void setReadPermissions(bool user, bool group, bool all);
  void setExecutePermissions(bool user, bool group, bool all);

  bool userWritePermissionQ() const { return Get(kUserWrite); }
  bool groupWritePermissionQ() const { return Get(kGroupWrite); }
  bool allWritePermissionQ() const { return Get(kAllWrite); }
  bool userReadPermissionQ() const { return Get(kUserRead); }
  bool groupReadPermissionQ() const { return Get(kGroupRead); }
  bool allReadPermissionQ() const { return Get(kAllRead); }
  bool userExecutePermissionQ() const { return Get(kUserExecute); }
  bool groupExecutePermissionQ() const { return Get(kGroupExecute); }
  bool allExecutePermissionQ() const { return Get(kAllExecute); }

  // The operating system's permission bits for the flags, and back.
  mode_t toMode() const;
  static QVFilePermissions fromMode(mode_t mode);

  void print(std::ostream& os) const;

 private:
  // Bit positions, from the lowest up.
  enum Bit : unsigned {
    kAllExecute = 0,
    kGroupExecute,
    kUserExecute,
    kAllRead,
    kGroupRead,
    kUserRead,
    kAllWrite,
    kGroupWrite,
    kUserWrite,
  };
  void Set(Bit bit, bool on) {
    if (on) {
      flags_ |= 1u << bit;
    } else {
      flags_ &= ~(1u << bit);
    }
  }
  bool Get(Bit bit) const { return (flags_ >> bit) & 1u; }

  uint32_t flags_ = 0;
};

std::ostream& operator<<(std::ostream& os, const QVFilePermissions& permissions);

}  // namespace Quorvane
