// PKCS #1 v1.5 block types 1 and 2.
#pragma once

#include <cstdint>

namespace qav {

inline constexpr uint32_t kPkcs1Overhead = 11;  // 00 BT, 8 filler bytes at least, 00

// Writes 00 BT filler 00 data over the whole block: FF filler for type 1,
// random non-zero bytes for type 2. False when the data does not fit, the
// block type is not 1 or 2, or the random source fails.
bool Pkcs1Add(uint32_t blockType, uint8_t* block, uint32_t blockSize, const uint8_t* data,
              uint32_t dataLength);

// The length of the data at the end of a well-formed block, or false. The first
// byte is not tested. Runs in the same time for every block of a given size,
// so a type 2 block decrypted by the card tells nothing through timing about
// where its filler failed.
bool Pkcs1DataLength(uint32_t blockType, const uint8_t* block, uint32_t blockSize,
                     uint32_t* dataLength);

}  // namespace qav
