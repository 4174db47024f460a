// Numeric environments: for each side of a link, which binary number type holds
// each kind of machine number, and the per-environment map from a side's name to
// its row of the fixed table.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string_view>

#include "utilities/qvobject.h"

// One row of the table: a name and eight (form 1, form 2) pairs of type bytes in
// the order short, int, long, 64-bit integer, wide integer, single, double, long double.
struct _qvnumeric_env_descriptor {
  const char* name;
  uint64_t types[16];
};

// Kind indices answered by QVGetNumericDesc and taken by QVGetNumericType.
enum qvnumeric_kind : int {
  QVNUMERIC_SHORT = 1,
  QVNUMERIC_INT = 2,
  QVNUMERIC_LONG = 3,
  QVNUMERIC_INT64 = 4,
  QVNUMERIC_SINGLE = 5,
  QVNUMERIC_DOUBLE = 6,
  QVNUMERIC_LONG_DOUBLE = 7,
  QVNUMERIC_WIDE = 8,
  QVNUMERIC_BYTE = 9,
  QVNUMERIC_NO_KIND = 30,
};

// Name of this side's row.
inline constexpr char kOwnNumericEnvironmentName[] = "greatdane";
// A peer naming this stands for "the same numerics as yours".
inline constexpr char kSameNumericsAsPeerName[] = "UniqueID";
// Link error of an establishment that meets unknown numerics.
inline constexpr int kUnrecognizedNumericsError = 56;

// The map owned by an environment. Rows are pointers into the static table.
class QVNumericEnvMap : public Quorvane::QVObject {
 public:
  using Entries = std::map<Quorvane::QVString, const _qvnumeric_env_descriptor*, std::less<>,
                           Quorvane::QVStdAllocator<std::pair<const Quorvane::QVString,
                                                             const _qvnumeric_env_descriptor*>>>;
  Entries entries;
};

// The fixed table, ending with a row whose name is null.
const _qvnumeric_env_descriptor* QVNumericEnvTable();

// A new map of every row, or null (either function null, or the library's own
// exception while a key or node was made). The two functions are only tested.
QVNumericEnvMap* QVGenerateNumericEnvDescriptions(void* (*allocate)(uint64_t),
                                                  void (*deallocate)(void*));
void QVDestroyNumericEnvDescriptions(QVNumericEnvMap* map);

// The row stored under name, compared byte for byte; null when absent.
const _qvnumeric_env_descriptor* QVFindNumericEnvDescription(const QVNumericEnvMap* map,
                                                             const char* name);
// The descriptor of a peer that named itself name: its row, this side's row for
// "UniqueID", else null with *error = 56. The caller holds the numerics lock.
const _qvnumeric_env_descriptor* QVPeerNumericEnvDescription(const QVNumericEnvMap* map,
                                                             const char* name, int* error);

// Kind index (1-9) of a type byte in a descriptor, or 30.
int QVGetNumericDesc(unsigned long type, const _qvnumeric_env_descriptor* descriptor, int form);
// Type byte of a kind in a descriptor, or 0.
unsigned long QVGetNumericType(int kind, const _qvnumeric_env_descriptor* descriptor, int form);
