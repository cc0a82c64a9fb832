// PKCS #1 v1.5 block types 1 and 2, made and checked by OpenSSL.
#pragma once

#include <cstdint>

namespace qav {

inline constexpr uint32_t kPkcs1Overhead = 11;  // 00 BT, 8 filler bytes at least, 00

#if defined(QAV_HAVE_OPENSSL)
inline constexpr bool kHavePkcs1 = true;
#else
inline constexpr bool kHavePkcs1 = false;
#endif

// blockType 1 or 2. Each returns false on any failure, and always without
// OpenSSL (the Windows build has none).
bool Pkcs1Add(uint32_t blockType, uint8_t* block, uint32_t blockSize, const uint8_t* data,
              uint32_t dataLength);
// Checks block (after its first byte, which is not tested) and copies the data,
// exactly dataLength bytes, to out.
bool Pkcs1Check(uint32_t blockType, const uint8_t* block, uint32_t blockSize, uint8_t* out,
                uint32_t dataLength);

}  // namespace qav
