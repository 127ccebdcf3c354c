#pragma once
// Registry value data as the wine tools print it: two lower-case hex digits
// a byte, no separator, so that a dump line compares as plain text.

#include <string>

inline std::string HexText(const unsigned char* bytes, unsigned long size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned long i = 0; i < size; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}
