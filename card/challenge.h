// GET CHALLENGE as both card classes send it.
#pragma once

#include <cstdint>

#include "card/card.h"

namespace qav {

// The challenge lengths the cards accept.
bool IsChallengeLength(uint32_t length) noexcept;

// Sends 00 84 00 00 Le = length and copies the first length bytes of the
// answer to out. An answer shorter than asked for is 0xE0170032: a partly
// stale challenge would go into a MAC. Extra bytes are dropped.
uint32_t RequestChallenge(CCard& card, uint8_t* out, uint32_t length);

}  // namespace qav
