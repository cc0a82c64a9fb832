// Decoding the seal device's ability data; pure functions over card answers.
#pragma once

#include <cstdint>

namespace qav {

inline constexpr uint32_t kControlInformationSize = 256;

// The control information the application answers to its selection: one
// element, whose first inner element holds elements among which 97 carries
// the ability byte (the last 97 wins; none means 0). Ability 0 gives flags
// 0/0, 1 gives 0/1, 2 gives 1/1; anything else, or an answer of another
// form, is QAV_E_UNEXPECTED_DATA with the flags untouched.
uint32_t DecodeAbilityFlags(const uint8_t* answer, uint32_t length, uint32_t* flag1,
                            uint32_t* flag2);

// The card stores the 16-bit fields of the 64-byte ability information high
// byte first; callers get them low byte first.
void AbilityInfoToHostOrder(uint8_t* info) noexcept;

}  // namespace qav
