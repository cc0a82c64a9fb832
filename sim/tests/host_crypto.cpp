#include "host_crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <memory>
#include <stdexcept>

namespace host {
namespace {

template <typename T, void (*F)(T*)>
struct Free {
  void operator()(T* p) const { F(p); }
};
using Pkey = std::unique_ptr<EVP_PKEY, Free<EVP_PKEY, EVP_PKEY_free>>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Free<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Free<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using Bld = std::unique_ptr<OSSL_PARAM_BLD, Free<OSSL_PARAM_BLD, OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Free<OSSL_PARAM, OSSL_PARAM_free>>;
using Bn = std::unique_ptr<BIGNUM, Free<BIGNUM, BN_free>>;
using Sig = std::unique_ptr<ECDSA_SIG, Free<ECDSA_SIG, ECDSA_SIG_free>>;

void Require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

Bn ToBn(const uint8_t* p, size_t n) { return Bn(BN_bin2bn(p, static_cast<int>(n), nullptr)); }

Bytes Sm4(const char* mode, const Bytes& key, const Bytes& iv, const Bytes& data) {
  const CipherCtx ctx(EVP_CIPHER_CTX_new());
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, mode, nullptr);
  Require(cipher != nullptr, "SM4 missing");
  const int ok = EVP_EncryptInit_ex2(ctx.get(), cipher, key.data(), iv.empty() ? nullptr : iv.data(), nullptr);
  EVP_CIPHER_free(cipher);
  Require(ok == 1, "SM4 init");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes out(data.size() + 16);
  int n = 0;
  Require(EVP_EncryptUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())) == 1, "SM4");
  out.resize(static_cast<size_t>(n));
  return out;
}

Bytes Pad(Bytes data) {
  data.push_back(0x80);
  while (data.size() % 16 != 0) data.push_back(0);
  return data;
}

Pkey FromData(const char* type, Bld& bld) {
  const Params params(OSSL_PARAM_BLD_to_param(bld.get()));
  const PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* key = nullptr;
  Require(params && ctx && EVP_PKEY_fromdata_init(ctx.get()) == 1 &&
              EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) == 1,
          "public key");
  return Pkey(key);
}

}  // namespace

Bytes Hex(const std::string& text) {
  Bytes out;
  std::string digits;
  for (const char c : text) {
    if (c != ' ') digits.push_back(c);
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string Hex(const Bytes& bytes) {
  static const char d[] = "0123456789ABCDEF";
  std::string s;
  for (const uint8_t b : bytes) {
    s.push_back(d[b >> 4]);
    s.push_back(d[b & 15]);
  }
  return s;
}

Bytes Sm3(const Bytes& data) {
  Bytes out(32);
  unsigned n = 0;
  Require(EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sm3(), nullptr) == 1, "SM3");
  return out;
}

Bytes Sha256(const Bytes& data) {
  Bytes out(32);
  unsigned n = 0;
  Require(EVP_Digest(data.data(), data.size(), out.data(), &n, EVP_sha256(), nullptr) == 1, "SHA-256");
  return out;
}

Bytes Sm4Cbc(const Bytes& key, const Bytes& iv, const Bytes& data) { return Sm4("SM4-CBC", key, iv, data); }

Bytes SecureMac(const Bytes& macKey, const Bytes& challenge, const Bytes& command) {
  Bytes iv = challenge;
  iv.resize(16, 0);
  const Bytes cbc = Sm4("SM4-CBC", macKey, iv, Pad(command));
  return Bytes(cbc.end() - 16, cbc.end() - 12);
}

Bytes SecureEncrypt(const Bytes& encKey, const Bytes& plaintext) { return Sm4("SM4-ECB", encKey, {}, Pad(plaintext)); }

Bytes Sm4Ecb(const Bytes& key, const Bytes& block) { return Sm4("SM4-ECB", key, {}, block); }

bool Sm2Verify(const Bytes& pub, const Bytes& digest, const Bytes& signature) {
  Require(pub.size() == 64 && signature.size() == 64, "SM2 sizes");
  Bld bld(OSSL_PARAM_BLD_new());
  Bytes point{0x04};
  point.insert(point.end(), pub.begin(), pub.end());
  static char group[] = "SM2";
  OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0);
  OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
  const Pkey key = FromData("SM2", bld);
  const Sig sig(ECDSA_SIG_new());
  Bn r = ToBn(signature.data(), 32);
  Bn s = ToBn(signature.data() + 32, 32);
  Require(ECDSA_SIG_set0(sig.get(), r.release(), s.release()) == 1, "sig");
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
  const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  const bool ok = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                  EVP_PKEY_verify(ctx.get(), der, static_cast<size_t>(derLength), digest.data(), digest.size()) == 1;
  OPENSSL_free(der);
  return ok;
}

Bytes RsaPublicRaw(const Bytes& modulus, const Bytes& exponent, const Bytes& input) {
  Bld bld(OSSL_PARAM_BLD_new());
  const Bn n = ToBn(modulus.data(), modulus.size());
  const Bn e = ToBn(exponent.data(), exponent.size());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n.get());
  OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get());
  const Pkey key = FromData("RSA", bld);
  const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  size_t length = modulus.size();
  Bytes out(length);
  Require(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), out.data(), &length, input.data(), input.size()) == 1,
          "RSA");
  out.resize(length);
  return out;
}

}  // namespace host
