// The seven character encodings a text atom can carry, as mask bits and wire
// letters, and the encoding set exchanged with a peer.
#pragma once

#include <cstdint>

// The bit of an encoding is 1 shifted left by (its wire letter AND 31).
enum text_encoding : uint8_t {
  ENCODING_ASCII = 2,       // 'A': escaped 7-bit ASCII
  ENCODING_BYTES = 4,       // 'B': 8-bit bytes, one character each
  ENCODING_UCS2 = 8,        // 'C': 16-bit units, one character each
  ENCODING_UTF8 = 16,       // 'D'
  ENCODING_UTF16 = 32,      // 'E'
  ENCODING_UTF32 = 64,      // 'F'
  ENCODING_OLDSTRING = 128  // 'G': legacy strings
};

// In a converter state's accepted mask, bit value 1 marks a put state.
constexpr uint8_t QV_PUT_STATE_BIT = 1;

// Every encoding the engine supports.
constexpr uint64_t QV_SUPPORTED_ENCODINGS = 0xFE;

// A set of encodings: a mask of encoding bits and a word that is always 0.
struct set_qvbst {
  uint64_t mask;
  uint64_t reserved;
};

constexpr uint8_t EncodingBitOfLetter(unsigned char letter) {
  return static_cast<uint8_t>(1u << (letter & 31));
}
// 'A'..'G' for one encoding bit, 0 for anything else.
constexpr unsigned char LetterOfEncodingBit(uint8_t bit) {
  for (unsigned char l = 'A'; l <= 'G'; ++l) {
    if (EncodingBitOfLetter(l) == bit) return l;
  }
  return 0;
}
