// The one exception of the object-oriented layers. Layers that lead back to the
// public interface catch it and turn its type into a link error code.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "utilities/qvobject.h"

namespace Quorvane {

// Exception type numbers; numbers not listed are not used.
enum class qvexceptiontype : int32_t {
  internalError = 1,         // impossible state, unimplemented, failed set-up
  badArgument = 3,           // null pointer or value out of range
  systemCallFailed = 4,      // code = errno or the service's own error number
  outOfMemory = 5,
  notFound = 6,              // a named thing was not found
  missingObject = 7,         // a required inner object is missing or closed
  subscriptOutOfRange = 8,
  backOut = 9,               // stopped early at a yield function's request
  tcpipThreadSignal = 12,    // never raised; tested by the TCPIP device threads
  cannotLoad = 13,           // library, function, interface or address
  noCore = 14,               // stream or device core missing, or no non-blocking I/O
  badRecordFile = 15,
  conditionResetFailed = 17,
  socketCallFailed = 18,     // code = errno
  noExecutable = 19,
  streamChunk = 20,          // object-stream chunk cannot be made, or null buffer
  endOfStream = 21,
  negativeTime = 22,
  permissionDenied = 23,     // code = errno
  alreadyExists = 24,        // code = errno
  noSuchPath = 25,           // code = errno
  emptyPath = 26,
  readOnlyFileSystem = 27,   // code = errno
  addressInUse = 28,
  noAddressOfKind = 29,
  wrongSocketKind = 30,
  socketException = 31,
  objectExists = 32,
  noInterfaceOfKind = 33,
  badPreamble = 34,
  deadPeer = 35,
  cannotMaintainConnection = 43,
  connectionClosed = 44,
  yieldAbort = 51,
  unsupportedProtocol = 54,
  unsupportedMode = 55,
  nameInUse = 59,
  listenerGone = 60,
  badLinkName = 61,
  deviceSpecific = 62,       // never raised; mapped by the device entry functions
  notExecutable = 67,
  sharedMemorySyncObjects = 68,
  noUsableInterface = 69,
  wrapped = 70,              // a lower-level failure; code = the caught one's code
};

class QVExceptionMessage : public QVObject {
 public:
  QVExceptionMessage() = default;
  QVExceptionMessage(const QVString& what, const QVString& file, unsigned int line,
                     qvexceptiontype type, int code);

  // "Quorvane Exception(" file ":" line "," code "," type "): "
  QVString getHeader() const;
  void print(std::ostream& os) const;

  QVString what;
  QVString file;
  uint32_t line = 0;
  qvexceptiontype type = qvexceptiontype::internalError;
  int32_t code = 0;
};

class QVException : public QVObject {
 public:
  QVException(const char* what, const char* file, unsigned int line, qvexceptiontype type,
              int code);
  QVException(const QVString& what, const char* file, unsigned int line, qvexceptiontype type,
              int code);
  QVException(const QVString& what, const QVString& file, unsigned int line,
              qvexceptiontype type, int code);
  QVException(const std::string& what, const char* file, unsigned int line,
              qvexceptiontype type, int code);

  qvexceptiontype getType() const { return message_.type; }
  int getCode() const { return message_.code; }
  const QVString& getWhat() const { return message_.what; }
  const QVString& getFile() const { return message_.file; }
  unsigned int getLine() const { return message_.line; }
  const QVExceptionMessage& getMessage() const { return message_; }
  void print(std::ostream& os) const { message_.print(os); }

 private:
  QVExceptionMessage message_;
};

std::ostream& operator<<(std::ostream& os, const QVExceptionMessage& message);
std::ostream& operator<<(std::ostream& os, const QVException& exception);

}  // namespace Quorvane
