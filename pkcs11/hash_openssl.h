// OpenSSL's digest for each of the module's hashes (Linux); null where
// OpenSSL has none.
#pragma once

#include <openssl/evp.h>

#include "hash.h"

namespace qav::p11 {

const EVP_MD* OpenSslDigest(HashAlg alg);

}  // namespace qav::p11
