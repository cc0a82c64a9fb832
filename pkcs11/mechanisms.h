// The mechanisms the module offers: only those that work on the seal key.
#pragma once

#include <optional>
#include <vector>

#include "cert_info.h"
#include "cryptoki.h"
#include "hash.h"

namespace qav::p11 {

enum class MechUse { Digest, RsaPkcs, RsaPkcsHash, Sm2Raw, Sm2Sm3 };

struct Mechanism {
    CK_MECHANISM_TYPE type;
    MechUse use;
    std::optional<HashAlg> hash;
    CK_MECHANISM_INFO info;
};

const std::vector<Mechanism>& Mechanisms();
const Mechanism* FindMechanism(CK_MECHANISM_TYPE type);
// Whether a key of this kind can run the mechanism.
bool FitsKey(const Mechanism& mechanism, KeyKind kind);
// The mechanisms a private key of this kind allows (CKA_ALLOWED_MECHANISMS).
std::vector<CK_MECHANISM_TYPE> AllowedFor(KeyKind kind);

}  // namespace qav::p11
