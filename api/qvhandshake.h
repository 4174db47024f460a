// The handshake the two ends of a link run before any expression passes: a
// greeting, a protocol level, then one text line per level from 2 up to the
// level both support. From the peer's lines this side learns which optional
// token forms it may write, which binary types and text encodings the peer
// reads, the peer's numerics and environment id, the dictionaries both share
// and whether six-digit Unicode escapes may be used. Both directions are the
// same, so two ends that follow this code interoperate.
//
// Lines this side writes are at most kHandshakeLineLimit bytes with their LF;
// lines it reads end at LF, carriage return or end of input and may hold at
// most kHandshakeLineLimit bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/qvfeatureset.h"
#include "text/qvstringdictionarymanager.h"

class qv_environment;
class QVLink;
class device_kebab;
struct qv_queue_stack;

inline constexpr int kHandshakeLineLimit = 511;
inline constexpr uint64_t kHandshakeLevel = 6;

// Answers of feature_greeting besides 0.
inline constexpr int kHandshakeFailed = 9;
inline constexpr int kHandshakeNoOptionTable = 44;

// Runs the exchange over the link's device stack and queue stack and fills
// features (its conversion machinery is left as it was). Writes into the link
// the peer's environment id, the six-digit flag and the dictionaries with
// their in-use flags. 0, 9 for any failure of the exchange (the peer closing
// or vanishing at any byte included), 44 without the handshake's option table.
int feature_greeting(qv_environment* environment, QVLink* link, device_kebab* stack,
                     qv_queue_stack* queues, feature_set* features);

// The level-3 line (or a feature text): numerics, binary types, text
// encodings, feature word and, when given, the level. The line is not
// changed. 1, or 0 when it cannot be split or no option table is there.
int decode_version3_info(qv_environment* environment, const char* line, feature_set* features);
// The level-4 line: its second word is the peer's environment id (at most
// kPeerEnvIdLimit characters kept). 1.
int decode_version4_info(QVLink* link, const char* line, feature_set* features);
// The level-5 line: the dictionary keys of both kinds. 1; 0 for a null line.
int decode_version5_info(qv_environment* environment, QVLink* link, const char* line, feature_set* features);
// The level-6 line: six-digit escapes stay allowed only when it begins with
// "Support6digitAsciiUnicode". 1; 0 for a null line, which clears the flag.
int decode_version6_info(QVLink* link, const char* line, feature_set* features);

// The largest key in both the peer's comma-separated list and the keys this
// side supports; 0 when none (an empty or non-numeric list included).
uint64_t determineTheCorrectKey(Quorvane::QVStringDictionaryManager& manager, const char* keys);

// The feature text of a feature set: "Quorvane" level "-tokens" types
// "-formats" encodings "-decoders" word. 0 when it fits in size bytes with
// its NUL, else the bytes missing (the words that fitted are left).
long put_feature_string(qv_environment* environment, const feature_set* features, char* buffer, long size);

// A fresh feature set decoded from a feature text, as RVEstablishString uses
// in place of the exchange: what the handshake starts from, then the text as
// a level-3 line. 1, or 0 for a null or undecodable text.
int qvhs__decode_feature_text(qv_environment* environment, const char* text, feature_set* features);

// The dictionary keys this side offers: the built-in tables' keys.
Quorvane::QVDictionaryKeyList qvhs__supported_keys();

// For tests only: offers the keys of the given tables instead of the built-in
// ones and loads their dictionaries into the two managers (a key already
// loaded keeps its dictionary). Null tables put the built-in ones back.
void qvhs__install_dictionary_tables_for_tests(const Quorvane::QVBuiltInDictionaryTables* tables, size_t count);
