// The process's environment variables.
#pragma once

#include "utilities/qvobject.h"

namespace Quorvane {

class QVSystemEnvironment : public QVObject {
 public:
  // The value, or an empty string when the variable is not set.
  QVString getValueForName(const QVString& name) const;
  QVString operator[](const QVString& name) const { return getValueForName(name); }

  void setValueForName(const QVString& name, const QVString& value);
  // Sets name to its current value (empty when unset), ":" and value.
  void appendValueForName(const QVString& name, const QVString& value);
  void removeNameFromEnvironment(const QVString& name);
};

}  // namespace Quorvane
