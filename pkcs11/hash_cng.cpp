// Hashing through the system's CNG (Windows); SM3, which CNG lacks, from the
// module's own implementation.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <optional>

#include "errors.h"
#include "hash.h"
#include "sm3.h"

namespace qav::p11 {

struct Hasher::State {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::optional<Sm3> sm3;
    ~State() {
        if (hash != nullptr) BCryptDestroyHash(hash);
        if (alg != nullptr) BCryptCloseAlgorithmProvider(alg, 0);
    }
};

namespace {

const wchar_t* AlgorithmId(HashAlg alg) {
    switch (alg) {
        case HashAlg::Sha1:
            return BCRYPT_SHA1_ALGORITHM;
        case HashAlg::Sha256:
            return BCRYPT_SHA256_ALGORITHM;
        case HashAlg::Sha384:
            return BCRYPT_SHA384_ALGORITHM;
        case HashAlg::Sha512:
            return BCRYPT_SHA512_ALGORITHM;
        case HashAlg::Sha224:
        case HashAlg::Sm3:
            break;
    }
    return nullptr;
}

}  // namespace

size_t HashSize(HashAlg alg) {
    switch (alg) {
        case HashAlg::Sha1:
            return 20;
        case HashAlg::Sha224:
            return 28;
        case HashAlg::Sha256:
        case HashAlg::Sm3:
            return 32;
        case HashAlg::Sha384:
            return 48;
        case HashAlg::Sha512:
            return 64;
    }
    return 0;
}

bool HashOnHost(HashAlg alg) { return alg == HashAlg::Sm3 || AlgorithmId(alg) != nullptr; }

Hasher::Hasher(HashAlg alg) : alg_(alg), state_(std::make_unique<State>()) {
    if (alg == HashAlg::Sm3) {
        state_->sm3.emplace();
        return;
    }
    const wchar_t* id = AlgorithmId(alg);
    // CNG has no SHA-224.
    if (id == nullptr) Fail(CKR_MECHANISM_INVALID);
    if (BCryptOpenAlgorithmProvider(&state_->alg, id, nullptr, 0) < 0 ||
        BCryptCreateHash(state_->alg, &state_->hash, nullptr, 0, nullptr, 0, 0) < 0) {
        Fail(CKR_FUNCTION_FAILED);
    }
}

Hasher::~Hasher() = default;

void Hasher::Update(const uint8_t* data, size_t length) {
    if (length == 0) return;
    if (state_->sm3) {
        state_->sm3->Update(data, length);
        return;
    }
    while (length > 0) {
        const ULONG part = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (BCryptHashData(state_->hash, const_cast<PUCHAR>(data), part, 0) < 0) {
            Fail(CKR_FUNCTION_FAILED);
        }
        data += part;
        length -= part;
    }
}

Bytes Hasher::Final() {
    if (state_->sm3) {
        const auto digest = state_->sm3->Final();
        return Bytes(digest.begin(), digest.end());
    }
    Bytes out(HashSize(alg_));
    if (BCryptFinishHash(state_->hash, out.data(), static_cast<ULONG>(out.size()), 0) < 0) {
        Fail(CKR_FUNCTION_FAILED);
    }
    return out;
}

Bytes Hash(HashAlg alg, const Bytes& data) {
    Hasher hasher(alg);
    hasher.Update(data.data(), data.size());
    return hasher.Final();
}

void RandomBytes(uint8_t* data, size_t length) {
    while (length > 0) {
        const ULONG part = length > 0x40000000u ? 0x40000000u : static_cast<ULONG>(length);
        if (BCryptGenRandom(nullptr, data, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG) < 0) {
            Fail(CKR_FUNCTION_FAILED);
        }
        data += part;
        length -= part;
    }
}

}  // namespace qav::p11
