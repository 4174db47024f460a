// The message reader fed arbitrary bytes in arbitrary cuts, both as the
// record gatherer alone and through unix_readmsg on a pipe written piece by
// piece: every whole eight bytes give exactly one record, in order, equal to
// the two big-endian words decoded independently; a part never gives one,
// and the peer closing in the middle of a record gives nothing.
//
// Input: pieces, each a length byte (its low four bits, 0 to 15) followed
// by that many bytes of the stream.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "device/qvmessagelayer.h"
#include "device/qvmessagerecord.h"

namespace {

struct Record {
  uint64_t code;
  uint64_t argument;
};

uint64_t Word(const std::vector<unsigned char>& stream, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value * 256 + stream[at + i];
  return value;
}

void Expect(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];
  if (pipe(fds) != 0) return 0;
  std::vector<unsigned char> stream;
  std::vector<Record> gathered;
  std::vector<Record> read;
  Quorvane::QVMessageRecordReader reader;
  size_t at = 0;
  while (at < size) {
    size_t length = data[at++] & 15;
    if (length > size - at) length = size - at;
    const unsigned char* piece = data + at;
    at += length;
    stream.insert(stream.end(), piece, piece + length);
    for (size_t used = 0; used < length;) {
      used += reader.take(piece + used, length - used);
      if (reader.completeQ()) {
        Record record{};
        reader.decode(&record.code, &record.argument);
        gathered.push_back(record);
        reader.reset();
      }
    }
    if (length > 0) Expect(write(fds[1], piece, length) == static_cast<ssize_t>(length));
    Record record{1, 1};
    while (unix_readmsg(fds[0], &record.code, &record.argument) == 1) read.push_back(record);
    Expect(record.code == 0 && record.argument == 0);
    Expect(read.size() == stream.size() / 8);
  }
  close(fds[1]);
  Record last{1, 1};
  Expect(unix_readmsg(fds[0], &last.code, &last.argument) == 0);
  Expect(last.code == 0 && last.argument == 0);
  unix_arrange_to_stop_msgs(fds[0]);
  close(fds[0]);

  const size_t whole = stream.size() / 8;
  Expect(gathered.size() == whole && read.size() == whole);
  Expect(reader.have() == stream.size() % 8);
  for (size_t i = 0; i < whole; ++i) {
    const uint64_t code = Word(stream, 8 * i);
    const uint64_t argument = Word(stream, 8 * i + 4);
    Expect(gathered[i].code == code && gathered[i].argument == argument);
    Expect(read[i].code == code && read[i].argument == argument);
  }
  return 0;
}
