// Bytes to hexadecimal text and back, and byte-order reversal.
#pragma once

#include <cstdint>

namespace qav {

// 0..15 for 0-9, a-f, A-F; -1 for anything else.
constexpr int HexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Upper-case digits and a NUL; *outLength counts the NUL (2 x length + 1).
uint32_t BytesToHex(const uint8_t* in, uint32_t length, char* out, uint32_t* outLength);
// text is NUL-terminated with an even, non-zero length. A character that is
// not a hexadecimal digit stops with 0xE0170028; the bytes before it stay in
// out and *outLength is left as it was.
uint32_t HexToBytes(const char* text, uint8_t* out, uint32_t* outLength);
// dst may equal src, or overlap it.
uint32_t ReverseBytes(uint8_t* dst, const uint8_t* src, uint32_t length);

}  // namespace qav
