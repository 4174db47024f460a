// Random names and integers from the process's standard generator, which is
// seeded once before the program's entry runs.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane {

class QVRandomObject : public QVObject {
 public:
  ~QVRandomObject() override = default;
  // Seeds the generator with the current time in microseconds; returns true.
  static bool Initialize();

 protected:
  QVRandomObject() = default;
  QVRandomObject(const QVRandomObject&) = default;
  QVRandomObject& operator=(const QVRandomObject&) = default;

  static bool initialized;
};

class QVRandomString : public QVRandomObject {
 public:
  explicit QVRandomString(unsigned long length);
  QVRandomString(const QVRandomString& other);
  QVRandomString& operator=(const QVRandomString& other);
  ~QVRandomString() override;

  virtual const char* c_str() const;  // null when there is no string
  virtual QVString* string() const { return string_; }  // still owned by this object

 private:
  QVString* string_ = nullptr;
};

class QVRandomIntegerFactory : public QVRandomObject {
 public:
  QVRandomIntegerFactory() = default;
  ~QVRandomIntegerFactory() override = default;

  virtual int GetInteger();
  // From low to high; high only when the generator draws its largest value.
  virtual long GetIntegerInRange(long low, long high);
};

}  // namespace Quorvane
