// Expressions that stress the stream framing: a List of byte strings of
// growing length, mostly 0x5C (the framing's escape byte), with every byte
// value in the last one; about 40 KiB before the framing doubles the
// backslashes, so they span many windows of either device.
#pragma once

#include <string>
#include <vector>

#include "quorvane.h"

namespace qvtest {

inline std::vector<std::string> BackslashTexts() {
  constexpr int kStrings = 24;
  std::vector<std::string> texts;
  for (int i = 0; i < kStrings; ++i) {
    std::string text(static_cast<size_t>(100 * i + 1), '\\');
    for (size_t at = 0; at < text.size(); at += 7) text[at] = static_cast<char>('a' + (at + static_cast<size_t>(i)) % 26);
    texts.push_back(text);
  }
  std::string every;
  for (int round = 0; round < 8; ++round) {
    for (int byte = 0; byte < 256; ++byte) every += {static_cast<char>(byte), '\\'};
  }
  texts.push_back(every);
  return texts;
}

// Puts List[texts...] as one packet and flushes it: true when every call took.
inline bool PutTexts(QVLink* link, const std::vector<std::string>& texts) {
  bool ok = RVPutFunction(link, "List", static_cast<int>(texts.size())) == 1;
  for (const std::string& text : texts) {
    ok = ok && RVPutByteString(link, reinterpret_cast<const unsigned char*>(text.data()),
                               static_cast<long>(text.size())) == 1;
  }
  return ok && RVEndPacket(link) == 1 && RVFlush(link) == 1;
}

// The texts of a List of byte strings; empty when the expression is not one.
inline std::vector<std::string> GetTexts(QVLink* link) {
  std::vector<std::string> texts;
  const char* head = nullptr;
  int count = 0;
  if (RVGetFunction(link, &head, &count) != 1) return texts;
  const bool list = std::string(head) == "List";
  RVReleaseSymbol(link, head);
  for (int i = 0; list && i < count; ++i) {
    const unsigned char* text = nullptr;
    int length = 0;
    if (RVGetByteString(link, &text, &length, '?') != 1) return {};
    texts.emplace_back(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
    RVReleaseByteString(link, text);
  }
  return texts;
}

}  // namespace qvtest
