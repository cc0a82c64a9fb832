// Small BER/DER helpers for card answers and certificates. Both read
// untrusted bytes and never look past the length they are given.
#pragma once

#include <cstdint>

namespace qav {

// The first element with this tag, walking into constructed elements and
// over primitive ones; null when there is none, the data is malformed, or a
// length form longer than 0x81 is met. Tags above 0xFF are two bytes, the
// first with its five low bits set.
const uint8_t* FindBerTag(const uint8_t* data, uint32_t length, uint16_t tag);

// The full size of a DER element in long length form (header included);
// 0 for the short or indefinite form, more than 8 length bytes, a size beyond 32 bits, or
// an element shorter than its own header within `available` bytes.
uint32_t DerTotalLength(const uint8_t* element, uint32_t available);

}  // namespace qav
