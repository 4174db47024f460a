// Unpacking of the device parameter block.
#include "device/qvdeviceparameters.h"

#include <cstring>
#include <limits>

namespace Quorvane {

namespace {

// A decimal number filling the whole field; anything else (empty, a sign, a
// stray character, a value beyond the range) reads as 0.
unsigned long ParseDecimal(const QVString& field) {
  if (field.empty()) return 0;
  unsigned long value = 0;
  for (char c : field) {
    if (c < '0' || c > '9') return 0;
    unsigned long digit = static_cast<unsigned long>(c - '0');
    if (value > (std::numeric_limits<unsigned long>::max() - digit) / 10) return 0;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

bool QVDeviceParameters::WellFormedBlock(const char* block) {
  if (block == nullptr) return false;
  size_t at = 0;
  for (int field = 0; field < 6; ++field) {
    if (at >= kQVDeviceParameterBlockLimit) return false;
    const size_t length = strnlen(block + at, kQVDeviceParameterBlockLimit - at);
    if (at + length == kQVDeviceParameterBlockLimit) return false;  // no NUL within the bound
    at += length + 1;
  }
  return true;
}

QVDeviceParameters::QVDeviceParameters(const char* block, void*) {
  if (block == nullptr) return;
  QVString fields[6];
  size_t at = 0;
  for (QVString& field : fields) {
    if (at >= kQVDeviceParameterBlockLimit) break;
    size_t length = strnlen(block + at, kQVDeviceParameterBlockLimit - at);
    field.assign(block + at, length);
    at += length + 1;
  }
  Protocol = fields[0];
  Mode = ParseDecimal(fields[1]);
  Name = fields[2];
  Location = fields[3];
  Authentication = fields[4];
  Options = ParseDecimal(fields[5]);
}

void QVDeviceParameters::PrintParameters(std::ostream& os) const {
  os << "<QVDeviceParameters><Protocol>" << Protocol << "</Protocol><Name>" << Name
     << "</Name><Location>" << Location << "</Location><Authentication>" << Authentication
     << "</Authentication><Mode>" << Mode << "</Mode><Options>" << Options
     << "</Options></QVDeviceParameters>";
}

std::ostream& operator<<(std::ostream& os, const QVDeviceParameters& parameters) {
  parameters.PrintParameters(os);
  return os;
}

}  // namespace Quorvane
