// EME-OAEP decoding of the block a raw RSA private-key operation gives back.
#pragma once

#include <optional>

#include "bytes.h"
#include "hash.h"

namespace qav::p11 {

// Whether a key of this many bytes can carry an OAEP block with this hash.
bool OaepFits(HashAlg hash, size_t modulusLength);

// The message inside a modulus-long block, or nothing when the block is not
// a valid encoding under this label. All checks run to the end whatever
// fails, and no failure says which check it was.
std::optional<Bytes> OaepDecode(HashAlg hash, HashAlg mgfHash, const Bytes& label,
                                const Bytes& block);

}  // namespace qav::p11
