// The mechanisms the module offers: only those that work on the seal key.
#pragma once

#include <optional>
#include <vector>

#include "cert_info.h"
#include "cryptoki.h"
#include "hash.h"

namespace qav::p11 {

enum class MechUse {
    Digest,
    RsaPkcs,
    RsaPkcsHash,
    RsaX509,
    RsaPss,      // a hash the caller made
    RsaPssHash,  // the module hashes the data
    RsaOaep,
    Sm2Raw,
    Sm2Sm3
};

struct Mechanism {
    CK_MECHANISM_TYPE type;
    MechUse use;
    std::optional<HashAlg> hash;
    CK_MECHANISM_INFO info;
};

const std::vector<Mechanism>& Mechanisms();
const Mechanism* FindMechanism(CK_MECHANISM_TYPE type);
// The hash of a CKM_SHA* digest mechanism (PSS and OAEP parameters name them).
std::optional<HashAlg> HashOfMechanism(CK_MECHANISM_TYPE type);
// The hash of a CKG_MGF1_* mask generator.
std::optional<HashAlg> HashOfMgf(CK_RSA_PKCS_MGF_TYPE mgf);
// Whether a key of this kind can run the mechanism.
bool FitsKey(const Mechanism& mechanism, KeyKind kind);
// The mechanisms a private key of this kind allows (CKA_ALLOWED_MECHANISMS).
std::vector<CK_MECHANISM_TYPE> AllowedFor(KeyKind kind);

}  // namespace qav::p11
