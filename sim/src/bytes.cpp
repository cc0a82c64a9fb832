#include "bytes.h"

#include <stdexcept>

namespace vcard {

std::string ToHex(const Bytes& bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 0x0F]);
  }
  return out;
}

static int Nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

Bytes FromHex(const std::string& text) {
  Bytes out;
  int high = -1;
  for (const char c : text) {
    if (c == ' ' || c == ':') continue;
    const int n = Nibble(c);
    if (n < 0) throw std::invalid_argument("bad hex digit in '" + text + "'");
    if (high < 0) {
      high = n;
    } else {
      out.push_back(static_cast<uint8_t>((high << 4) | n));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits in '" + text + "'");
  return out;
}

}  // namespace vcard
