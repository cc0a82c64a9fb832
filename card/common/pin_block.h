// PIN characters packed two per byte as hexadecimal digits, and the checks
// both cards make before a PIN goes anywhere.
#pragma once

#include <cstdint>
#include <vector>

namespace qav {

// An odd count is completed with F in the last low nibble. A character that
// is not a hexadecimal digit gives 0xE0170028 and an empty block. The caller
// wipes the block once it is sent.
uint32_t PackPinBlock(const char* pin, uint32_t length, std::vector<uint8_t>* block);

// 4 to 16 characters, on both cards.
inline constexpr uint32_t kMinPinLength = 4;
inline constexpr uint32_t kMaxPinLength = 16;
bool PinLengthOk(uint32_t length) noexcept;

// Decimal digits only: the one form VerifyPIN takes.
bool PinDigitsOnly(const char* pin, uint32_t length) noexcept;
// The checks VerifyPIN makes of its PIN, in its order: digits only
// (0xE0170005), then 4 to 16 of them (0xE017001D).
uint32_t CheckVerifiablePin(const char* pin, uint32_t length) noexcept;

// A caller's PIN text is read no further than one character past the
// longest PIN: without its NUL by then it is too long all the same. No text
// at all has length 0.
uint32_t PinTextLength(const char* pin) noexcept;

// The keyboard forms' argument checks alone, in the cards' order, for an
// export to make before anything is sent.
uint32_t CheckVerifyPin(uint32_t pinReference, const char* pin, uint32_t pinLength,
                        const uint32_t* triesLeft) noexcept;
uint32_t CheckChangePin(uint32_t pinReference, const char* oldPin, uint32_t oldLength,
                        const char* newPin, uint32_t newLength, const uint32_t* triesLeft) noexcept;

// The keyboard forms' command data, after their argument checks in the order
// both cards make them (the first failing one decides). Verify: the PIN
// block. Change: old block, FF, new block. The caller wipes the data once it
// is sent; the blocks in between are wiped here. The old PIN may hold
// hexadecimal letters (a card personalised so can still leave that PIN); the
// new one must be a PIN VerifyPIN accepts.
uint32_t VerifyPinData(uint32_t pinReference, const char* pin, uint32_t pinLength,
                       const uint32_t* triesLeft, std::vector<uint8_t>* data);
uint32_t ChangePinData(uint32_t pinReference, const char* oldPin, uint32_t oldLength,
                       const char* newPin, uint32_t newLength, const uint32_t* triesLeft,
                       std::vector<uint8_t>* data);

}  // namespace qav
