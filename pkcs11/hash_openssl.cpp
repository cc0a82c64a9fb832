// Hashing through OpenSSL's libcrypto (Linux).
#include "hash_openssl.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "errors.h"
#include "hash.h"

namespace qav::p11 {

struct Hasher::State {
    struct Free {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, Free> ctx;
};

const EVP_MD* OpenSslDigest(HashAlg alg) {
    switch (alg) {
        case HashAlg::Sha1:
            return EVP_sha1();
        case HashAlg::Sha224:
            return EVP_sha224();
        case HashAlg::Sha256:
            return EVP_sha256();
        case HashAlg::Sha384:
            return EVP_sha384();
        case HashAlg::Sha512:
            return EVP_sha512();
        case HashAlg::Sm3:
            return EVP_sm3();
    }
    return nullptr;
}

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

bool HashOnHost(HashAlg alg) { return OpenSslDigest(alg) != nullptr; }

Hasher::Hasher(HashAlg alg) : alg_(alg), state_(std::make_unique<State>()) {
    state_->ctx.reset(EVP_MD_CTX_new());
    if (!state_->ctx) Fail(CKR_HOST_MEMORY);
    if (EVP_DigestInit_ex(state_->ctx.get(), OpenSslDigest(alg), nullptr) != 1)
        Fail(CKR_FUNCTION_FAILED);
}

Hasher::~Hasher() = default;

void Hasher::Update(const uint8_t* data, size_t length) {
    if (length == 0) return;
    if (EVP_DigestUpdate(state_->ctx.get(), data, length) != 1) Fail(CKR_FUNCTION_FAILED);
}

Bytes Hasher::Final() {
    Bytes out(HashSize(alg_));
    unsigned int produced = 0;
    if (EVP_DigestFinal_ex(state_->ctx.get(), out.data(), &produced) != 1 ||
        produced != out.size()) {
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
        const int part = length > INT_MAX ? INT_MAX : static_cast<int>(length);
        if (RAND_bytes(data, part) != 1) Fail(CKR_FUNCTION_FAILED);
        data += part;
        length -= static_cast<size_t>(part);
    }
}

}  // namespace qav::p11
