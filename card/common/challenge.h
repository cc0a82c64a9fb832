// GET CHALLENGE as both card classes send it.
#pragma once

#include <cstdint>
#include <vector>

#include "card/common/card.h"
#include "card/common/secured_command.h"
#include "qavseal/qavseal.h"

namespace qav {

// The challenge lengths the cards accept.
bool IsChallengeLength(uint32_t length) noexcept;

// Sends 00 84 00 00 Le = length and copies the first length bytes of the
// answer to out. An answer shorter than asked for is 0xE0170032: a partly
// stale challenge would go into a MAC. Extra bytes are dropped.
uint32_t RequestChallenge(CCard& card, uint8_t* out, uint32_t length);

// External authentication's first half: a fresh challenge of
// challengeLength bytes, then the caller's cryptogram of it, written into a
// 255-byte area and left in *cryptogram (which the caller wipes). A failing
// challenge comes back as it is; a failing callback returns its own result
// with *callbackFailed set; a length beyond the area is 0xE0170028.
uint32_t ObtainCryptogram(const ChallengeSource& challenge, uint32_t challengeLength,
                          QAV_CryptogramCallback callback, uintptr_t user1, uintptr_t user2,
                          std::vector<uint8_t>* cryptogram, bool* callbackFailed);

}  // namespace qav
