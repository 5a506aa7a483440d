// Names are kept as decoded, one byte per character; the screen and the
// operating system get them as UTF-8, each byte taken as Latin-1.
#pragma once
#include <string>
#include <string_view>

inline std::string Latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const unsigned char c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}
