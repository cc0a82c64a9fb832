// An RSA calculation on the card with the host's padding around it.
#pragma once

#include <cstdint>

#include "card/seal/card_seal.h"

namespace qav::api {

enum class RsaKey { kPublic, kPrivate };

// mode ≠ 0: the input is padded to the modulus (public: block type 2,
// private: block type 1) and the card's whole result handed over. mode 0:
// the input is one modulus-long block, and the padding of the other kind is
// removed from the card's result. bits is the modulus size.
uint32_t RsaCalcWithPadding(CCardSeal& card, RsaKey key, uint32_t bits, uint32_t file,
                            uint32_t mode, const uint8_t* input, uint32_t inputLength, uint8_t* out,
                            uint32_t* outLength);

}  // namespace qav::api
