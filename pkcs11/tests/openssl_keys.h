// OpenSSL objects the encoding tests share, owned by unique_ptr.
#pragma once

#include <openssl/evp.h>

#include <memory>

#include "hash.h"
#include "hash_openssl.h"

namespace qav::p11 {

struct FreePkey {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct FreeCtx {
    void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, FreePkey>;
using Ctx = std::unique_ptr<EVP_PKEY_CTX, FreeCtx>;

}  // namespace qav::p11
