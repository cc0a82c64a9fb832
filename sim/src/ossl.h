// unique_ptr holders for the OpenSSL objects the card uses.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <memory>

namespace vcard::ossl {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Ptr = std::unique_ptr<T, Deleter<T, Free>>;

using Pkey = Ptr<EVP_PKEY, EVP_PKEY_free>;
using PkeyCtx = Ptr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;
using MdCtx = Ptr<EVP_MD_CTX, EVP_MD_CTX_free>;
using CipherCtx = Ptr<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>;
using CipherAlg = Ptr<EVP_CIPHER, EVP_CIPHER_free>;
using Bn = Ptr<BIGNUM, BN_clear_free>;
using BnCtx = Ptr<BN_CTX, BN_CTX_free>;
using EcGroup = Ptr<EC_GROUP, EC_GROUP_free>;
using EcPoint = Ptr<EC_POINT, EC_POINT_free>;
using EcdsaSig = Ptr<ECDSA_SIG, ECDSA_SIG_free>;
using ParamBld = Ptr<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>;
using Params = Ptr<OSSL_PARAM, OSSL_PARAM_free>;
using X509Ptr = Ptr<X509, X509_free>;

}  // namespace vcard::ossl
