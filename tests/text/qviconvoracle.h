// The text tests' independent oracle: code points into any encoding by iconv.
#pragma once

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qvtexttest {

// Converts code points to the encoding named `to`; false when iconv refuses.
inline bool Iconv(const std::vector<uint32_t>& cps, const char* to, std::string* out) {
  iconv_t cd = iconv_open(to, "UTF-32LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert to " << to;
    return false;
  }
  std::string in(reinterpret_cast<const char*>(cps.data()), cps.size() * 4);
  std::string buffer(in.size() * 2 + 16, '\0');
  char* ip = in.data();
  size_t il = in.size();
  char* op = buffer.data();
  size_t ol = buffer.size();
  const size_t r = iconv(cd, &ip, &il, &op, &ol);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return false;
  *out = buffer.substr(0, buffer.size() - ol);
  return true;
}

// The same for text that iconv must take.
inline std::string MustIconv(const std::vector<uint32_t>& cps, const char* to) {
  std::string out;
  EXPECT_TRUE(Iconv(cps, to, &out)) << to;
  return out;
}

}  // namespace qvtexttest
