// The host's tables for keys: session-key algorithms, cipher padding
// selectors, and the wrap algorithms of containers.
#pragma once

#include <cstdint>

namespace qav::api {

struct SessionAlgorithm {
    uint32_t cardNumber;   // the algorithm number the card knows
    uint32_t blockLength;  // the cipher's block, in bytes
};

// The caller's identifier (1, 4, 8, 16, 32, 64) → 0 and *algorithm, or
// QAV_E_BAD_ALGORITHM for any other.
uint32_t LookUpSessionAlgorithm(uint32_t identifier, SessionAlgorithm* algorithm) noexcept;

// The session-key ciphers' padding selector (0 none, 1 80 00.., 2 n × n) →
// 0 and the padding mode, or QAV_E_BAD_SELECTOR.
uint32_t PaddingModeOfSelector(uint32_t selector, uint32_t* mode) noexcept;

// How a container's key wraps a session key on its way in (import: RSA-1024
// 0, RSA-1280 1, SM2 2) and out (export: RSA-1024 0, RSA-2048 1, SM2 2);
// QAV_E_BAD_ALGORITHM for the other key types.
uint32_t ImportWrapAlgorithm(uint32_t keyType, uint32_t* wrap) noexcept;
uint32_t ExportWrapAlgorithm(uint32_t keyType, uint32_t* wrap) noexcept;

// Key types of a container.
inline constexpr uint32_t kKeyRsa1024 = 0x01;
inline constexpr uint32_t kKeyRsa2048 = 0x02;
inline constexpr uint32_t kKeySm2 = 0x04;
inline constexpr uint32_t kKeySm2Second = 0x08;
inline constexpr uint32_t kKeyRsa1280 = 0x20;

inline bool IsRsaKeyType(uint32_t keyType) noexcept {
    return keyType == kKeyRsa1024 || keyType == kKeyRsa2048 || keyType == kKeyRsa1280;
}
inline bool IsSm2KeyType(uint32_t keyType) noexcept {
    return keyType == kKeySm2 || keyType == kKeySm2Second;
}
// The SM2 variant the card commands take: 1 for the second kind.
inline uint32_t Sm2Variant(uint32_t keyType) noexcept { return keyType == kKeySm2Second ? 1 : 0; }

}  // namespace qav::api
