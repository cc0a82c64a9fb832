// OpenSSL objects the encoding tests share, owned by unique_ptr.
#pragma once

#include <openssl/evp.h>

#include <memory>

#include "hash.h"

namespace qav::p11 {

struct FreePkey {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct FreeCtx {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, FreePkey>;
using Ctx = std::unique_ptr<EVP_PKEY_CTX, FreeCtx>;

inline const EVP_MD* Md(HashAlg alg) {
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

}  // namespace qav::p11
