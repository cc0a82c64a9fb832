#include "mechanisms.h"

#include "qavseal/qavseal_pkcs11.h"

namespace qav::p11 {

namespace {

// The card's RSA keys are 1024, 1280 and 2048 bits; its SM2 keys 256.
constexpr CK_MECHANISM_INFO kRsaSignDecrypt{1024, 2048, CKF_HW | CKF_SIGN | CKF_DECRYPT};
constexpr CK_MECHANISM_INFO kRsaSign{1024, 2048, CKF_HW | CKF_SIGN};
constexpr CK_MECHANISM_INFO kRsaDecrypt{1024, 2048, CKF_HW | CKF_DECRYPT};
constexpr CK_MECHANISM_INFO kSm2Sign{256, 256, CKF_HW | CKF_SIGN};
constexpr CK_MECHANISM_INFO kDigest{0, 0, CKF_DIGEST};

}  // namespace

static const std::vector<Mechanism>& AllMechanisms() {
    static const std::vector<Mechanism> table{
        {CKM_RSA_PKCS, MechUse::RsaPkcs, std::nullopt, kRsaSignDecrypt},
        {CKM_SHA1_RSA_PKCS, MechUse::RsaPkcsHash, HashAlg::Sha1, kRsaSign},
        {CKM_SHA224_RSA_PKCS, MechUse::RsaPkcsHash, HashAlg::Sha224, kRsaSign},
        {CKM_SHA256_RSA_PKCS, MechUse::RsaPkcsHash, HashAlg::Sha256, kRsaSign},
        {CKM_SHA384_RSA_PKCS, MechUse::RsaPkcsHash, HashAlg::Sha384, kRsaSign},
        {CKM_SHA512_RSA_PKCS, MechUse::RsaPkcsHash, HashAlg::Sha512, kRsaSign},
        {CKM_RSA_X_509, MechUse::RsaX509, std::nullopt, kRsaSignDecrypt},
        {CKM_RSA_PKCS_PSS, MechUse::RsaPss, std::nullopt, kRsaSign},
        {CKM_SHA1_RSA_PKCS_PSS, MechUse::RsaPssHash, HashAlg::Sha1, kRsaSign},
        {CKM_SHA224_RSA_PKCS_PSS, MechUse::RsaPssHash, HashAlg::Sha224, kRsaSign},
        {CKM_SHA256_RSA_PKCS_PSS, MechUse::RsaPssHash, HashAlg::Sha256, kRsaSign},
        {CKM_SHA384_RSA_PKCS_PSS, MechUse::RsaPssHash, HashAlg::Sha384, kRsaSign},
        {CKM_SHA512_RSA_PKCS_PSS, MechUse::RsaPssHash, HashAlg::Sha512, kRsaSign},
        {CKM_RSA_PKCS_OAEP, MechUse::RsaOaep, std::nullopt, kRsaDecrypt},
        {CKM_QAV_SM2, MechUse::Sm2Raw, std::nullopt, kSm2Sign},
        {CKM_QAV_SM2_SM3, MechUse::Sm2Sm3, HashAlg::Sm3, kSm2Sign},
        {CKM_SHA_1, MechUse::Digest, HashAlg::Sha1, kDigest},
        {CKM_SHA224, MechUse::Digest, HashAlg::Sha224, kDigest},
        {CKM_SHA256, MechUse::Digest, HashAlg::Sha256, kDigest},
        {CKM_SHA384, MechUse::Digest, HashAlg::Sha384, kDigest},
        {CKM_SHA512, MechUse::Digest, HashAlg::Sha512, kDigest},
        {CKM_QAV_SM3, MechUse::Digest, HashAlg::Sm3, kDigest},
    };
    return table;
}

// Only what this platform can hash is on offer.
const std::vector<Mechanism>& Mechanisms() {
    static const std::vector<Mechanism> offered = [] {
        std::vector<Mechanism> out;
        for (const Mechanism& m : AllMechanisms()) {
            if (!m.hash || HashOnHost(*m.hash)) out.push_back(m);
        }
        return out;
    }();
    return offered;
}

const Mechanism* FindMechanism(CK_MECHANISM_TYPE type) {
    for (const Mechanism& m : Mechanisms()) {
        if (m.type == type) return &m;
    }
    return nullptr;
}

std::optional<HashAlg> HashOfMechanism(CK_MECHANISM_TYPE type) {
    const Mechanism* m = FindMechanism(type);
    if (m == nullptr || m->use != MechUse::Digest || m->hash == HashAlg::Sm3) return std::nullopt;
    return m->hash;
}

std::optional<HashAlg> HashOfMgf(CK_RSA_PKCS_MGF_TYPE mgf) {
    switch (mgf) {
        case CKG_MGF1_SHA1:
            return HashAlg::Sha1;
        case CKG_MGF1_SHA224:
            return HashAlg::Sha224;
        case CKG_MGF1_SHA256:
            return HashAlg::Sha256;
        case CKG_MGF1_SHA384:
            return HashAlg::Sha384;
        case CKG_MGF1_SHA512:
            return HashAlg::Sha512;
        default:
            return std::nullopt;
    }
}

bool FitsKey(const Mechanism& mechanism, KeyKind kind) {
    switch (mechanism.use) {
        case MechUse::RsaPkcs:
        case MechUse::RsaPkcsHash:
        case MechUse::RsaX509:
        case MechUse::RsaPss:
        case MechUse::RsaPssHash:
        case MechUse::RsaOaep:
            return kind == KeyKind::Rsa;
        case MechUse::Sm2Raw:
        case MechUse::Sm2Sm3:
            return kind == KeyKind::Sm2;
        case MechUse::Digest:
            return false;
    }
    return false;
}

std::vector<CK_MECHANISM_TYPE> AllowedFor(KeyKind kind) {
    std::vector<CK_MECHANISM_TYPE> out;
    for (const Mechanism& m : Mechanisms()) {
        if (FitsKey(m, kind)) out.push_back(m.type);
    }
    return out;
}

}  // namespace qav::p11
