#include "text/qvstringdictionary.h"

namespace Quorvane {

QVStringDictionary::QVStringDictionary(const QVRawStringDictionary* raw) { loadRawDictionary(raw); }

QVSmartPointer<QVStringDictionary> QVStringDictionary::init() {
  return QVSmartPointer<QVStringDictionary>(new QVStringDictionary());
}

QVSmartPointer<QVStringDictionary> QVStringDictionary::initWithRawDictionary(const QVRawStringDictionary* raw) {
  return QVSmartPointer<QVStringDictionary>(new QVStringDictionary(raw));
}

void QVStringDictionary::loadRawDictionary(const QVRawStringDictionary* raw) {
  if (raw == nullptr) return;
  for (const QVRawStringDictionary* record = raw; record->name != nullptr; ++record) {
    QVUTF8StringHandle name = QVUTF8String::initWithASCIIString(record->name);
    numberToString_.emplace(record->code, name);
    stringToNumber_.emplace(name, record->code);
  }
}

void QVStringDictionary::clear() {
  numberToString_.clear();
  stringToNumber_.clear();
}

void QVStringDictionary::clearAndLoad(const QVRawStringDictionary* raw) {
  clear();
  loadRawDictionary(raw);
}

bool QVStringDictionary::hasKey(uint16_t code) const { return numberToString_.count(code) != 0; }

bool QVStringDictionary::hasKey(const QVUTF8StringHandle&) const { return false; }

int32_t QVStringDictionary::getNumberForString(const QVUTF8StringHandle& string) const {
  if (!string) return kNoCode;
  const auto it = stringToNumber_.find(string);
  return it == stringToNumber_.end() ? kNoCode : it->second;
}

QVUTF8StringHandle QVStringDictionary::getStringForNumber(uint16_t code) const {
  const auto it = numberToString_.find(code);
  return it == numberToString_.end() ? QVUTF8StringHandle() : it->second;
}

namespace {
bool SameString(const QVUTF8StringHandle& a, const QVUTF8StringHandle& b) {
  if (!a || !b) return !a && !b;
  return *a == *b;
}
}  // namespace

bool QVStringDictionary::operator==(const QVStringDictionary& other) const {
  if (this == &other) return true;
  if (numberToString_.size() != other.numberToString_.size() ||
      stringToNumber_.size() != other.stringToNumber_.size()) {
    return false;
  }
  for (auto a = numberToString_.begin(), b = other.numberToString_.begin(); a != numberToString_.end(); ++a, ++b) {
    if (a->first != b->first || !SameString(a->second, b->second)) return false;
  }
  for (auto a = stringToNumber_.begin(), b = other.stringToNumber_.begin(); a != stringToNumber_.end(); ++a, ++b) {
    if (a->second != b->second || !SameString(a->first, b->first)) return false;
  }
  return true;
}

namespace {
void PrintString(std::ostream& os, const QVUTF8StringHandle& s) {
  os << "<string>";
  if (s) s->print(os);
  os << "</string>";
}
}  // namespace

void QVStringDictionary::print(std::ostream& os) const {
  os << "<QVStringDictionary><numberToStringTable>";
  for (const auto& entry : numberToString_) {
    os << "<number>" << entry.first << "</number>";
    PrintString(os, entry.second);
  }
  os << "</numberToStringTable><stringToNumberTable>";
  for (const auto& entry : stringToNumber_) {
    PrintString(os, entry.first);
    os << "<number>" << entry.second << "</number>";
  }
  os << "</stringToNumberTable></QVStringDictionary>";
}

std::ostream& operator<<(std::ostream& os, const QVStringDictionary& dictionary) {
  dictionary.print(os);
  return os;
}

}  // namespace Quorvane
