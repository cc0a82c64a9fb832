// Byte strings and the small conversions every command handler needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vcard {

using Bytes = std::vector<uint8_t>;

std::string ToHex(const Bytes& bytes);
// Accepts upper or lower case, ignores spaces; throws std::invalid_argument.
Bytes FromHex(const std::string& text);

inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void PutBe16(Bytes& out, unsigned value) {
  out.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
  out.push_back(static_cast<uint8_t>(value & 0xFF));
}
inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace vcard
