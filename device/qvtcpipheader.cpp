// The device header of the new wire model, and moving one buffer whole over
// an end point.
#include "device/qvtcpipdevice.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {

constexpr char kSource[] = "device/qvtcpip";
constexpr int kWords = 4;

}  // namespace

size_t QVTCPIPReadWhole(QVEndPoint& endPoint, char* buffer, size_t count, QVYieldFunction yield, void* cookie) {
  size_t got = 0;
  while (got < count) {
    const ssize_t n = endPoint.ReadAndHandleBlock(buffer + got, count - got, yield, cookie);
    if (n <= 0) break;  // end of stream: never read it again
    got += static_cast<size_t>(n);
  }
  return got;
}

bool QVTCPIPWriteWhole(QVEndPoint& endPoint, const char* buffer, size_t count, QVYieldFunction yield, void* cookie) {
  size_t sent = 0;
  while (sent < count) {
    const ssize_t n = endPoint.WriteAndHandleBlock(buffer + sent, count - sent, yield, cookie);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

QVTCPIPDeviceHeader::QVTCPIPDeviceHeader(const QVVersion& version, QVYieldFunction yield, void* cookie)
    : major(version.major), minor(version.minor), revision(version.revision), yieldFunction(yield),
      yieldCookie(cookie) {}

void QVTCPIPDeviceHeader::WriteHeaderElement(QVEndPoint& endPoint, const char* bytes, size_t count) const {
  if (!QVTCPIPWriteWhole(endPoint, bytes, count, yieldFunction, yieldCookie)) {
    throw QVException("Write on the connection failed.", kSource, __LINE__, qvexceptiontype::socketCallFailed, 0);
  }
}

bool QVTCPIPDeviceHeader::ReadHeaderElement(QVEndPoint& endPoint, char* bytes, size_t count) const {
  return QVTCPIPReadWhole(endPoint, bytes, count, yieldFunction, yieldCookie) == count;
}

void QVTCPIPDeviceHeader::WriteHeader(QVEndPoint& endPoint) const {
  // The four words go as one element, so they leave in one write.
  const int32_t words[kWords] = {major, minor, revision, payloadSize};
  WriteHeaderElement(endPoint, reinterpret_cast<const char*>(words), sizeof words);
  if (payloadSize > 0 && payload) WriteHeaderElement(endPoint, payload.get(), static_cast<size_t>(payloadSize));
}

void QVTCPIPDeviceHeader::ReadHeader(QVEndPoint& endPoint) {
  int32_t words[kWords];
  if (!ReadHeaderElement(endPoint, reinterpret_cast<char*>(words), sizeof words)) {
    throw QVException("Read 0 bytes while attempting to read TCPIP header.", kSource, __LINE__,
                      qvexceptiontype::deadPeer, 0);
  }
  major = words[0];
  minor = words[1];
  revision = words[2];
  if (words[3] < 0 || words[3] > kPayloadCap) {
    throw QVException("TCPIP header announces a payload of impossible size.", kSource, __LINE__,
                      qvexceptiontype::badPreamble, 0);
  }
  payloadSize = words[3];
  payload.reset();
  if (payloadSize > 0) {
    payload = std::make_unique<char[]>(static_cast<size_t>(payloadSize));
    if (!ReadHeaderElement(endPoint, payload.get(), static_cast<size_t>(payloadSize))) {
      throw QVException("Read 0 bytes while attempting to read TCPIP header.", kSource, __LINE__,
                        qvexceptiontype::deadPeer, 0);
    }
  }
}

std::ostream& operator<<(std::ostream& os, const QVTCPIPDeviceHeader& header) {
  return os << "<QVTCPIPDeviceHeader><Version>" << QVVersion(header.major, header.minor, header.revision)
            << "</Version><Payload size=\"" << header.payloadSize << "\">"
            << static_cast<const void*>(header.payload.get()) << "</Payload></QVTCPIPDeviceHeader>";
}

}  // namespace Quorvane
