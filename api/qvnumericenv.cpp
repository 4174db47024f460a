#include "api/qvnumericenv.h"

#include <cstring>
#include <memory>

#include "utilities/qvexception.h"

namespace {

// The names are data: peers send them as they are, misspellings included.
const _qvnumeric_env_descriptor kDescriptors[] = {
    {"mastiff", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 158, 158}},
    {"japanesechin", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 158, 158}},
    {"keeshond", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 182, 182}},
    {"komondor", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 182, 182}},
    {"borzoi", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 155, 155}},
    {"briard", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 155, 155}},
    {"norwegianelkhound", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 218, 218}},
    {"norwichterrior", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 248, 248}},
    {"saintbernarnd", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 184, 184}},
    {"bernesemountaindog", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 184, 184}},
    {"setter", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 246, 216}},
    {"french_bulldog", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 246, 246}},
    {"bichon_frise", {226, 226, 228, 228, 228, 228, 230, 230, 230, 230, 244, 244, 246, 246, 246, 246}},
    {"zembu", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 246, 246}},
    {"beagle", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 182, 182}},
    {"bullterrier", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 184, 184}},
    {"borderterrier", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 184, 184}},
    {"basenji", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 248, 248}},
    {"sharpei", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 248, 248}},
    {"tibetanmastiff", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 248, 248}},
    {"greatdane", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 248, 248}},
    {"reddog", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 218, 218}},
    {"australiancattledog", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 248, 248}},
    {"boxer", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 248, 248}},
    {"akitainu", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 246, 246}},
    {"chihuahua", {226, 226, 228, 228, 228, 228, 196, 196, 228, 228, 244, 244, 246, 246, 246, 246}},
    {"rottweiler", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 182, 182}},
    {"pharaohhound", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 184, 184}},
    {"trout", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 182, 182}},
    {"pug", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 184, 184}},
    {"pointer", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 182, 182}},
    {"samoyed", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 184, 184}},
    {"siberianhusky", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 184, 184}},
    {"shibainu", {226, 226, 228, 228, 230, 230, 230, 230, 230, 230, 244, 244, 246, 246, 248, 248}},
    {"newfoundland", {162, 162, 164, 164, 164, 164, 197, 197, 164, 164, 180, 180, 182, 182, 184, 184}},
    {"affenpinscher", {162, 162, 164, 164, 166, 166, 166, 166, 166, 166, 180, 180, 182, 182, 184, 184}},
    {"beauceron", {226, 226, 228, 228, 228, 228, 230, 230, 228, 228, 244, 244, 246, 246, 246, 246}},
    {"bergamasco", {226, 226, 228, 228, 228, 228, 230, 230, 228, 228, 244, 244, 246, 246, 218, 218}},
    {"boerboel", {226, 226, 228, 228, 228, 228, 230, 230, 228, 228, 244, 244, 246, 246, 246, 246}},
    {"chinook", {226, 226, 228, 228, 228, 228, 230, 230, 228, 228, 244, 244, 246, 246, 246, 246}},
    {"Sep 13 1996, 13:46:34", {193, 193, 194, 194, 195, 195, 196, 196, 195, 195, 209, 209, 210, 210, 211, 211}},
    {nullptr, {}},
};

// Pair index of each kind, and the order in which a type is matched against the
// pairs: where one type holds several kinds, the earlier kind wins.
constexpr int kPairOfKind[10] = {-1, 0, 1, 2, 3, 5, 6, 7, 4, -1};
constexpr int kKindMatchOrder[] = {QVNUMERIC_SHORT,  QVNUMERIC_INT,    QVNUMERIC_INT64,
                                   QVNUMERIC_LONG,   QVNUMERIC_WIDE,   QVNUMERIC_SINGLE,
                                   QVNUMERIC_DOUBLE, QVNUMERIC_LONG_DOUBLE};

bool ValidForm(int form) { return form == 1 || form == 2; }

uint64_t TypeOfKind(const _qvnumeric_env_descriptor* descriptor, int kind, int form) {
  return descriptor->types[2 * kPairOfKind[kind] + (form - 1)];
}

}  // namespace

const _qvnumeric_env_descriptor* QVNumericEnvTable() { return kDescriptors; }

QVNumericEnvMap* QVGenerateNumericEnvDescriptions(void* (*allocate)(uint64_t),
                                                  void (*deallocate)(void*)) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  std::unique_ptr<QVNumericEnvMap> map(new QVNumericEnvMap);
  try {
    for (const _qvnumeric_env_descriptor* row = kDescriptors; row->name != nullptr; ++row) {
      // emplace keeps the first row of a name.
      map->entries.emplace(Quorvane::QVString(row->name), row);
    }
  } catch (const Quorvane::QVException&) {
    return nullptr;
  }
  return map.release();
}

void QVDestroyNumericEnvDescriptions(QVNumericEnvMap* map) { delete map; }

const _qvnumeric_env_descriptor* QVFindNumericEnvDescription(const QVNumericEnvMap* map,
                                                             const char* name) {
  if (map == nullptr || name == nullptr) return nullptr;
  auto found = map->entries.find(std::string_view(name));
  return found == map->entries.end() ? nullptr : found->second;
}

const _qvnumeric_env_descriptor* QVPeerNumericEnvDescription(const QVNumericEnvMap* map,
                                                             const char* name, int* error) {
  const _qvnumeric_env_descriptor* found = QVFindNumericEnvDescription(map, name);
  if (found == nullptr && name != nullptr && std::strcmp(name, kSameNumericsAsPeerName) == 0) {
    found = QVFindNumericEnvDescription(map, kOwnNumericEnvironmentName);
  }
  if (error != nullptr) *error = found == nullptr ? kUnrecognizedNumericsError : 0;
  return found;
}

int QVGetNumericDesc(unsigned long type, const _qvnumeric_env_descriptor* descriptor, int form) {
  if (descriptor == nullptr || !ValidForm(form)) return QVNUMERIC_NO_KIND;
  for (int kind : kKindMatchOrder) {
    if (TypeOfKind(descriptor, kind, form) == type) return kind;
  }
  return type == 161 ? QVNUMERIC_BYTE : QVNUMERIC_NO_KIND;
}

unsigned long QVGetNumericType(int kind, const _qvnumeric_env_descriptor* descriptor, int form) {
  if (descriptor == nullptr || !ValidForm(form) || kind < 1 || kind > 9) return 0;
  if (kind == QVNUMERIC_BYTE) return 161;
  return TypeOfKind(descriptor, kind, form);
}
