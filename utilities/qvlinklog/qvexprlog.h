// The expression log: the traffic of one link as readable, time-stamped
// expression text, written to any number of log files.
//
// The log thread of the link reports each expression token by token (the
// token operations below); each token makes one fragment of text, followed by
// the commas and closing brackets that a per-direction function stack calls
// for. Every expression starts a new entry on a new line after a preamble
// "yyyy-MM-dd hh:mm:ss.SSSS<pid,write>: " (or "<pid, read>: "), and lines are
// cut at 80 columns.
//
// Threads: the token operations and the column belong to the log thread. The
// file table is changed by the threads of the logging interface and walked by
// the log thread's writes; one mutex guards it for both.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string_view>
#include <vector>

#include "utilities/qvlinklog/qvlockedstream.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

namespace Quorvane {

// What the logged side puts on the link (0) or gets from it (any other value).
enum qvlogdirection : int32_t { QVLogWriteDirection = 0, QVLogReadDirection = 1 };

// Character runs are written between double quotes (string) or bare (symbol).
enum qvcharselector : int32_t { QVLogString = 0, QVLogSymbol = 1 };

// One open function of a direction's expression.
struct qvstacktype {
  uint64_t argumentsLeft = 0;  // argument places not yet completed, the current one included
  bool isList = false;         // head "List": braces instead of brackets
  bool alternateHead = false;  // the head is an expression logged before the arguments
  bool headComplete = false;   // with alternateHead: the head is done and "[" written
};

struct qvstreamobject {
  bool firstWriteToStream = true;  // the first text is preceded by a line break
  QVSmartPointer<QVLockedStream> stream;

  void print(std::ostream& os) const;
};

std::ostream& operator<<(std::ostream& os, const qvstreamobject& entry);

class QVExprLog : public QVObject {
 public:
  using FunctionStack = std::vector<qvstacktype, QVStdAllocator<qvstacktype>>;
  using StreamTable = std::map<QVString, qvstreamobject, std::less<QVString>,
                               QVStdAllocator<std::pair<const QVString, qvstreamobject>>>;

  static constexpr uint64_t maxColumns = 80;

  static QVSmartPointer<QVExprLog> init();
  QVExprLog() = default;
  ~QVExprLog() override;
  QVExprLog(const QVExprLog&) = delete;
  QVExprLog& operator=(const QVExprLog&) = delete;

  void setName(const QVString& name);
  QVString getName() const { return theName; }

  // ---- Log files ----
  // Adds a file opened for appending; a path already in the table keeps its
  // stream. A path that names no file or a file that cannot be opened raises
  // the locked stream's exception and leaves the table as it was. True when
  // the path was not in the table before.
  bool logToFileWithName(const QVString& path);
  // Removes the file; an absent path is no error. No text reaches the file
  // after this returns.
  void closeLogFileWithName(const QVString& path);
  void closeFileHandles();
  bool willLogToFile() const;

  // The output switch; the column keeps counting while it is off. It takes
  // effect from the next entry on.
  void setEnabled(bool on) { enabled.store(on); }
  bool enabledQ() const { return enabled.load(); }
  uint64_t getCurrentColumn() const { return currentColumn; }

  // ---- Lines ----
  FunctionStack& functionStackForDirection(qvlogdirection d);
  // The time stamp of now, then "<" pid "," and "write" or " read", then ">: ".
  virtual QVString preambleByDirection(qvlogdirection d) const;
  // Starts a new entry when asked, then cuts contents into 80-column lines.
  void writeContentsToStreams(qvlogdirection d, bool newEntry, std::string_view contents);
  // Finished text to every file, unless output was off when the entry began.
  virtual void writeTextToStreams(const QVString& text);

  // ---- Structure ----
  void logFunction(qvlogdirection d, const char* head, unsigned long headLength,
                   unsigned long argumentCount);
  // The head comes next as an expression of its own, then the arguments.
  void logFunctionWithAlternateHead(qvlogdirection d, unsigned long argumentCount);

  // ---- Text; counts are units of the encoding (bytes, 16-bit, 32-bit) ----
  void log7BitString(qvlogdirection d, const char* s, long count);
  void log7BitSymbol(qvlogdirection d, const char* s, long count);
  void log8BitString(qvlogdirection d, const unsigned char* s, long count);
  void log8BitSymbol(qvlogdirection d, const unsigned char* s, long count);
  void logUCS2String(qvlogdirection d, const unsigned short* s, long count);
  void logUCS2Symbol(qvlogdirection d, const unsigned short* s, long count);
  void logUTF8String(qvlogdirection d, const unsigned char* s, long count);
  void logUTF8Symbol(qvlogdirection d, const unsigned char* s, long count);
  void logUTF16String(qvlogdirection d, const unsigned short* s, long count);
  void logUTF16Symbol(qvlogdirection d, const unsigned short* s, long count);
  void logUTF32String(qvlogdirection d, const unsigned int* s, long count);
  void logUTF32Symbol(qvlogdirection d, const unsigned int* s, long count);

  // The character runs behind each pair above. Bytes of the 7-bit and 8-bit
  // forms go out unchanged; the others are decoded to codes, written as
  // themselves for newline and 32-127 and in escaped ASCII otherwise. UTF-16
  // and UTF-32 text is in this machine's order unless it begins with a
  // byte-swapped mark; a leading mark of either order is skipped. Decoding
  // stops at the first character the decoder refuses.
  void log7BitChars(qvlogdirection d, qvcharselector s, const char* chars, long count);
  void log8BitChars(qvlogdirection d, qvcharselector s, const unsigned char* chars, long count);
  void logUCS2Chars(qvlogdirection d, qvcharselector s, const unsigned short* chars, long count);
  void logUTF8Chars(qvlogdirection d, qvcharselector s, const unsigned char* chars, long count);
  void logUTF16Chars(qvlogdirection d, qvcharselector s, const unsigned short* chars, long count);
  void logUTF32Chars(qvlogdirection d, qvcharselector s, const unsigned int* chars, long count);

  // The escaped-ASCII form of one code, zero-filled to end; null when the
  // code has none (above 0x10FFFF) or the room is too small.
  static char* convertCodeToASCIIRepresentation(unsigned int code, char* begin, char* end);

  // ---- Numbers; reals as "%#g" writes them ----
  void logInt(qvlogdirection d, long value);
  void logInt64(qvlogdirection d, const long& value);
  void logReal(qvlogdirection d, double value);
  void logReal128(qvlogdirection d, long double value);
  void logNumberWithString(qvlogdirection d, const QVString& text);
  void logNumberWithString(qvlogdirection d, const unsigned char* text, int length);

  // ---- Lists: "{a, b}"; an empty list writes nothing but still fills its place ----
  void logInt8List(qvlogdirection d, const char* p, unsigned long n);
  void logInt16List(qvlogdirection d, const short* p, unsigned long n);
  void logInt32List(qvlogdirection d, const int* p, unsigned long n);
  void logInt64List(qvlogdirection d, const long* p, unsigned long n);
  void logReal32List(qvlogdirection d, const float* p, unsigned long n);
  void logReal64List(qvlogdirection d, const double* p, unsigned long n);
  void logReal128List(qvlogdirection d, const long double* p, unsigned long n);

  // ---- Arrays, row-major. A level's head is heads[level], "List" when the
  // heads list is null or has ended (a null entry ends it). A depth below 1 or
  // a null dimension list is logged as "{}"; a negative dimension counts as 0;
  // null data writes the brackets without elements. ----
  void logInt8Array(qvlogdirection d, const char* data, const int* dims, const char* const* heads,
                    int depth);
  void logInt8Array(qvlogdirection d, const char* data, const long* dims, const char* const* heads,
                    long depth);
  void logInt16Array(qvlogdirection d, const short* data, const int* dims, const char* const* heads,
                     int depth);
  void logInt16Array(qvlogdirection d, const short* data, const long* dims,
                     const char* const* heads, long depth);
  void logInt32Array(qvlogdirection d, const int* data, const int* dims, const char* const* heads,
                     int depth);
  void logInt32Array(qvlogdirection d, const int* data, const long* dims, const char* const* heads,
                     long depth);
  void logInt64Array(qvlogdirection d, const long* data, const int* dims, const char* const* heads,
                     int depth);
  void logInt64Array(qvlogdirection d, const long* data, const long* dims, const char* const* heads,
                     long depth);
  void logReal32Array(qvlogdirection d, const float* data, const int* dims,
                      const char* const* heads, int depth);
  void logReal32Array(qvlogdirection d, const float* data, const long* dims,
                      const char* const* heads, long depth);
  void logReal64Array(qvlogdirection d, const double* data, const int* dims,
                      const char* const* heads, int depth);
  void logReal64Array(qvlogdirection d, const double* data, const long* dims,
                      const char* const* heads, long depth);
  void logReal128Array(qvlogdirection d, const long double* data, const int* dims,
                       const char* const* heads, int depth);
  void logReal128Array(qvlogdirection d, const long double* data, const long* dims,
                       const char* const* heads, long depth);
  // An array with a zero dimension: its brackets only, e.g. "{{}, {}}".
  void logEmptyArray(qvlogdirection d, const long* dims, const char* const* heads, long depth);

  // ---- Errors: a line of their own with a preamble; the stacks stay ----
  void logError(qvlogdirection d, const char* message);
  void logError(qvlogdirection d, const QVString& message);

  // The common tail of every token: decides whether the fragment starts an
  // entry, appends the separators the stack asks for and writes the result.
  void writeContentsToStreamsByStack(qvlogdirection d, FunctionStack& stack,
                                     const QVString& fragment, bool opening);

  void print(std::ostream& os) const;

 private:
  // Ends a character run: the closing quote of a string, then the stack's tail.
  void finishChars(qvlogdirection d, qvcharselector s, QVString& fragment);
  template <typename T, typename Dim>
  void logArray(qvlogdirection d, const T* data, const Dim* dims, const char* const* heads,
                Dim depth);
  template <typename T, typename Dim>
  static const T* logArrayLevel(const T* data, const Dim* dims, const char* const* heads, Dim depth,
                                std::ostream& os, Dim level);
  template <typename T>
  void logList(qvlogdirection d, const T* p, unsigned long n);
  void logAtom(qvlogdirection d, const QVString& fragment);

  FunctionStack writeStack;
  FunctionStack readStack;
  QVString theName;
  StreamTable streamTable;
  uint64_t currentColumn = 0;
  std::atomic<bool> enabled{true};
  bool entryEnabled = true;  // enabled as the current entry began; the writer's own
  mutable std::mutex tableLock;  // guards streamTable
};

std::ostream& operator<<(std::ostream& os, const QVExprLog& log);

}  // namespace Quorvane
