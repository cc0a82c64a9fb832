// EMSA-PSS: the block a raw RSA private-key operation turns into a PSS
// signature.
#pragma once

#include "bytes.h"
#include "hash.h"

namespace qav::p11 {

// Whether a key of modulusBits can carry a PSS block with this hash and salt.
bool PssFits(HashAlg hash, size_t saltLength, size_t modulusBits);

// The modulus-long block for the hash mHash (made with `hash`), masked with
// MGF1 over mgfHash, with this salt. Throws CKR_DATA_LEN_RANGE for a hash of
// the wrong size, CKR_KEY_SIZE_RANGE when the key is too small.
Bytes PssEncode(HashAlg hash, HashAlg mgfHash, const Bytes& mHash, const Bytes& salt,
                size_t modulusBits);

}  // namespace qav::p11
