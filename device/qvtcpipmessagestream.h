// The message connection of a "TCPIP" link read as whole records: the code
// and the argument, each a big-endian 32-bit word; a closing peer may send
// the close code alone. Two readers take records from one connection (the
// caller's ReadMessage and the signal thread), so the bytes of a record that
// has not wholly arrived wait here for whichever reader comes next instead
// of being split between the two. The owner serialises the calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Quorvane {

class QVTCPIPMessageStream {
 public:
  static constexpr uint32_t kClosedCode = 9;
  static constexpr size_t kRecordSize = 8;

  enum class Got {
    nothing,         // no whole record yet; the connection is still open
    message,         // *code and *argument hold one record
    ended,           // the connection ended between records
    brokenCode,      // it ended inside a code word
    brokenArgument,  // it ended inside an argument word
  };

  // Reads what the descriptor holds now, never waiting, and takes one record.
  // A close code still without its argument counts as whole, with argument 0,
  // when loneCloseIsWhole. The end of the connection after a code gives the
  // argument 9. A broken record is reported once; the connection has then ended.
  Got Take(int fd, bool loneCloseIsWhole, uint32_t* code, uint32_t* argument);
  // A close code has arrived without the argument word that may follow it.
  bool LoneCloseQ() const;

 private:
  uint32_t Word(size_t at) const;

  unsigned char bytes_[kRecordSize] = {};
  size_t have_ = 0;
  bool ended_ = false;
};

}  // namespace Quorvane
