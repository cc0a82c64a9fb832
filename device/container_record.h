// A container as the card's table stores it: 60 bytes, numbers low byte first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qav {

inline constexpr uint32_t kContainerRecordSize = 60;
inline constexpr uint32_t kContainerNameSize = 40;

struct ContainerRecord {
    std::array<uint8_t, kContainerRecordSize> bytes{};

    // The NUL-terminated name (a record without a NUL in its name field ends
    // at the field's end when compared).
    const uint8_t* Name() const noexcept { return bytes.data(); }
    uint8_t KeyType() const noexcept { return bytes[41]; }
    uint16_t CertificateFid() const noexcept { return Word(48); }
    uint16_t PrivateKeyFid() const noexcept { return Word(50); }
    uint16_t PublicKeyFid() const noexcept { return Word(52); }

private:
    uint16_t Word(size_t at) const noexcept {
        return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
    }
};

// 1024 for 1, 2048 for 2, 1280 for 0x20; 0 for SM2 and unknown types.
uint32_t KeyTypeBits(uint32_t keyType) noexcept;

}  // namespace qav
