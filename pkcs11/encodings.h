// Encodings done on the host before the card's private-key operation.
#pragma once

#include <string>

#include "bytes.h"
#include "hash.h"

namespace qav::p11 {

// DER DigestInfo of a hash (PKCS #1 v1.5 signatures); SM3 has none.
Bytes DigestInfo(HashAlg alg, const Bytes& hash);

// MGF1 over seed with this hash: length bytes of mask.
Bytes Mgf1(HashAlg alg, const uint8_t* seed, size_t seedLength, size_t length);

// SM2's Z: SM3(ENTL || id || a || b || xG || yG || xA || yA), point = 04||x||y.
Bytes Sm2Z(const Bytes& point, const std::string& id);

}  // namespace qav::p11
