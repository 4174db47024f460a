// Universally unique identifiers: 16 bytes, written as 36 upper-case characters.
#pragma once

#include <uuid/uuid.h>

#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

class QVUUID : public QVObject {
 public:
  QVUUID();  // a new random identifier
  explicit QVUUID(const QVString& text);  // type 4 on text that is not an identifier
  QVUUID(const QVUUID& other);
  QVUUID& operator=(const QVUUID& other);
  QVUUID& operator=(const QVString& text);
  ~QVUUID() override = default;

  QVString stringRepresentation() const;
  const unsigned char* bytes() const { return uuid_; }
  void print(std::ostream& os) const;

 private:
  uuid_t uuid_;
};

std::ostream& operator<<(std::ostream& os, const QVUUID& uuid);

}  // namespace Quorvane
