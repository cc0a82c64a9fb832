// Host-side padding around card operations, one mode number both ways.
#pragma once

#include <cstdint>

namespace qav {

enum class PaddingMode : uint32_t {
    kNone = 0,
    kPkcs7 = 1,       // n bytes of value n, 1 <= n <= block size
    kPkcs7Alt = 2,    // same as 1
    kIso7816 = 3,     // 80, then n - 1 zero bytes
    kPkcs1Type1 = 4,  // 00 01 FF..FF 00 data, one block
    kPkcs1Type2 = 5,  // 00 02 random non-zero 00 data, one block
};

// out null: the padded length. out may equal in. Unknown mode: 0xE0170008.
// Modes 1 and 2 take block sizes up to 255 (one fill byte), else 0xE0170006.
uint32_t Pad(uint32_t mode, uint32_t blockSize, const uint8_t* in, uint32_t inLength, uint8_t* out,
             uint32_t* outLength);
// out null: the unpadded length. out may equal in. Unknown mode: 0xE017003C.
// On success out is zeroed past the data, up to its capacity *outLength.
uint32_t Unpad(uint32_t mode, uint32_t blockSize, const uint8_t* in, uint32_t inLength,
               uint8_t* out, uint32_t* outLength);

}  // namespace qav
