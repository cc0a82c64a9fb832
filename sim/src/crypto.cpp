#include "crypto.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <climits>

#include "ossl.h"

namespace vcard {
namespace {

void Check(bool ok, const char* what) {
  if (!ok) throw CryptoError(what);
}

int Int(size_t n) {
  Check(n <= static_cast<size_t>(INT_MAX), "length");
  return static_cast<int>(n);
}

ossl::Bn ToBn(const Bytes& bytes) {
  ossl::Bn bn(BN_bin2bn(bytes.data(), Int(bytes.size()), nullptr));
  Check(bn != nullptr, "BN_bin2bn");
  return bn;
}

Bytes FromBn(const BIGNUM* bn, size_t width) {
  Bytes out(width);
  Check(BN_bn2binpad(bn, out.data(), Int(width)) == Int(width), "BN_bn2binpad");
  return out;
}

ossl::Pkey FromParams(const char* type, ossl::ParamBld& builder, int selection) {
  const ossl::Params params(OSSL_PARAM_BLD_to_param(builder.get()));
  Check(params != nullptr, "OSSL_PARAM_BLD_to_param");
  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  Check(ctx != nullptr && EVP_PKEY_fromdata_init(ctx.get()) == 1, "EVP_PKEY_fromdata_init");
  EVP_PKEY* raw = nullptr;
  Check(EVP_PKEY_fromdata(ctx.get(), &raw, selection, params.get()) == 1, "EVP_PKEY_fromdata");
  return ossl::Pkey(raw);
}

ossl::EcGroup Sm2Group() {
  ossl::EcGroup group(EC_GROUP_new_by_curve_name(NID_sm2));
  Check(group != nullptr, "SM2 group");
  return group;
}

ossl::Pkey Sm2Key(const Bytes* priv, const Bytes& pub) {
  Check(pub.size() == 64, "SM2 public key length");
  ossl::ParamBld builder(OSSL_PARAM_BLD_new());
  Check(builder != nullptr, "OSSL_PARAM_BLD_new");
  Bytes point{0x04};
  point.insert(point.end(), pub.begin(), pub.end());
  static char group[] = "SM2";
  Check(OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) == 1 &&
            OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                             point.size()) == 1,
        "SM2 params");
  ossl::Bn d;
  if (priv != nullptr) {
    d = ToBn(*priv);
    Check(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) == 1, "SM2 d");
  }
  return FromParams("SM2", builder, priv != nullptr ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY);
}

ossl::Pkey RsaPrivate(const Bytes& der) {
  const unsigned char* p = der.data();
  ossl::Pkey key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
  Check(key != nullptr, "RSA private key");
  return key;
}

ossl::Pkey RsaPublic(const Bytes& pub) {
  Check(pub.size() > 4, "RSA public key length");
  const Bytes n(pub.begin(), pub.end() - 4);
  const Bytes e(pub.end() - 4, pub.end());
  ossl::ParamBld builder(OSSL_PARAM_BLD_new());
  Check(builder != nullptr, "OSSL_PARAM_BLD_new");
  const ossl::Bn bn_n = ToBn(n);
  const ossl::Bn bn_e = ToBn(e);
  Check(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, bn_n.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, bn_e.get()) == 1,
        "RSA params");
  return FromParams("RSA", builder, EVP_PKEY_PUBLIC_KEY);
}

ossl::Pkey PublicKeyOfFile(const Bytes& pub) {
  return pub.size() == 64 ? Sm2Key(nullptr, pub) : RsaPublic(pub);
}

enum class Op { Encrypt, Decrypt, Sign };

Bytes PkeyOperation(EVP_PKEY* key, Op op, const Bytes& input, int rsaPadding) {
  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  Check(ctx != nullptr, "EVP_PKEY_CTX_new");
  int ok = op == Op::Encrypt ? EVP_PKEY_encrypt_init(ctx.get())
           : op == Op::Decrypt ? EVP_PKEY_decrypt_init(ctx.get())
                               : EVP_PKEY_sign_init(ctx.get());
  Check(ok == 1, "pkey init");
  if (rsaPadding != 0) Check(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), rsaPadding) == 1, "padding");
  size_t length = 0;
  auto run = [&](unsigned char* out) {
    return op == Op::Encrypt ? EVP_PKEY_encrypt(ctx.get(), out, &length, input.data(), input.size())
           : op == Op::Decrypt ? EVP_PKEY_decrypt(ctx.get(), out, &length, input.data(), input.size())
                               : EVP_PKEY_sign(ctx.get(), out, &length, input.data(), input.size());
  };
  Check(run(nullptr) == 1, "pkey size");
  Bytes out(length);
  Check(run(out.data()) == 1, "pkey operation");
  out.resize(length);
  return out;
}

ossl::CipherAlg FetchCipher(Cipher cipher, bool cbc) {
  const char* name = nullptr;
  switch (cipher) {
    case Cipher::Sm4: name = cbc ? "SM4-CBC" : "SM4-ECB"; break;
    case Cipher::Aes128: name = cbc ? "AES-128-CBC" : "AES-128-ECB"; break;
    case Cipher::Des3: name = cbc ? "DES-EDE3-CBC" : "DES-EDE3-ECB"; break;
  }
  ossl::CipherAlg alg(EVP_CIPHER_fetch(nullptr, name, nullptr));
  Check(alg != nullptr, "cipher not available");
  return alg;
}

}  // namespace

Bytes RandomBytes(size_t count) {
  Bytes out(count);
  Check(RAND_bytes(out.data(), Int(count)) == 1, "RAND_bytes");
  return out;
}

Bytes Hash(Digest digest, const Bytes& data) {
  const EVP_MD* md = digest == Digest::Sm3 ? EVP_sm3() : digest == Digest::Sha1 ? EVP_sha1() : EVP_sha256();
  Bytes out(EVP_MAX_MD_SIZE);
  unsigned length = 0;
  Check(EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr) == 1, "EVP_Digest");
  out.resize(length);
  return out;
}

size_t BlockSize(Cipher cipher) { return cipher == Cipher::Des3 ? 8 : 16; }

Bytes BlockCipher(Cipher cipher, const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt) {
  const size_t block = BlockSize(cipher);
  Check(data.size() % block == 0, "data not a multiple of the block");
  Bytes fullKey = key;
  if (cipher == Cipher::Des3) {
    // Single and two-key DES run as three-key DES with repeated parts.
    if (key.size() == 8) fullKey = Concat(Concat(key, key), key);
    if (key.size() == 16) fullKey = Concat(key, Bytes(key.begin(), key.begin() + 8));
    Check(fullKey.size() == 24, "DES key length");
  } else {
    Check(key.size() == 16, "key length");
  }
  Check(iv.empty() || iv.size() == block, "iv length");
  const ossl::CipherAlg alg = FetchCipher(cipher, !iv.empty());
  const ossl::CipherCtx ctx(EVP_CIPHER_CTX_new());
  Check(ctx != nullptr, "EVP_CIPHER_CTX_new");
  Check(EVP_CipherInit_ex2(ctx.get(), alg.get(), fullKey.data(), iv.empty() ? nullptr : iv.data(),
                           encrypt ? 1 : 0, nullptr) == 1,
        "EVP_CipherInit");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes out(data.size() + block);
  int produced = 0;
  int tail = 0;
  Check(EVP_CipherUpdate(ctx.get(), out.data(), &produced, data.data(), Int(data.size())) == 1 &&
            EVP_CipherFinal_ex(ctx.get(), out.data() + produced, &tail) == 1,
        "cipher");
  out.resize(static_cast<size_t>(produced + tail));
  OPENSSL_cleanse(fullKey.data(), fullKey.size());
  return out;
}

Bytes PadIso(const Bytes& data, size_t block) {
  Bytes out = data;
  out.push_back(0x80);
  while (out.size() % block != 0) out.push_back(0x00);
  return out;
}

bool UnpadIso(Bytes& data) {
  while (!data.empty() && data.back() == 0x00) data.pop_back();
  if (data.empty() || data.back() != 0x80) return false;
  data.pop_back();
  return true;
}

Bytes CbcMac(Cipher cipher, const Bytes& key, const Bytes& iv, const Bytes& data) {
  const size_t block = BlockSize(cipher);
  const Bytes out = BlockCipher(cipher, key, iv.empty() ? Bytes(block, 0) : iv, data, true);
  Check(out.size() >= block, "empty MAC input");
  return Bytes(out.end() - static_cast<std::ptrdiff_t>(block), out.end());
}

Sm2KeyPair Sm2Generate() {
  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
  Check(ctx != nullptr && EVP_PKEY_keygen_init(ctx.get()) == 1, "SM2 keygen init");
  EVP_PKEY* raw = nullptr;
  Check(EVP_PKEY_generate(ctx.get(), &raw) == 1, "SM2 keygen");
  const ossl::Pkey key(raw);
  BIGNUM* d = nullptr;
  Check(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &d) == 1, "SM2 d");
  const ossl::Bn holder(d);
  Sm2KeyPair pair;
  pair.priv = FromBn(d, 32);
  pair.pub = Sm2PublicFromPrivate(pair.priv);
  return pair;
}

Bytes Sm2PublicFromPrivate(const Bytes& priv) {
  Check(priv.size() == 32, "SM2 private key length");
  const ossl::EcGroup group = Sm2Group();
  const ossl::BnCtx bnCtx(BN_CTX_new());
  const ossl::EcPoint point(EC_POINT_new(group.get()));
  const ossl::Bn d = ToBn(priv);
  Check(bnCtx != nullptr && point != nullptr &&
            EC_POINT_mul(group.get(), point.get(), d.get(), nullptr, nullptr, bnCtx.get()) == 1,
        "EC_POINT_mul");
  Bytes encoded(65);
  Check(EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(),
                           encoded.size(), bnCtx.get()) == 65,
        "point2oct");
  return Bytes(encoded.begin() + 1, encoded.end());
}

Bytes Sm2Sign(const Bytes& priv, const Bytes& hash) {
  const ossl::Pkey key = Sm2Key(&priv, Sm2PublicFromPrivate(priv));
  const Bytes der = PkeyOperation(key.get(), Op::Sign, hash, 0);
  const unsigned char* p = der.data();
  const ossl::EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(der.size())));
  Check(sig != nullptr, "signature DER");
  return Concat(FromBn(ECDSA_SIG_get0_r(sig.get()), 32), FromBn(ECDSA_SIG_get0_s(sig.get()), 32));
}

bool Sm2Verify(const Bytes& pub, const Bytes& hash, const Bytes& signature) {
  if (signature.size() != 64) return false;
  const ossl::Pkey key = Sm2Key(nullptr, pub);
  const ossl::EcdsaSig sig(ECDSA_SIG_new());
  Check(sig != nullptr, "ECDSA_SIG_new");
  ossl::Bn r = ToBn(Bytes(signature.begin(), signature.begin() + 32));
  ossl::Bn s = ToBn(Bytes(signature.begin() + 32, signature.end()));
  Check(ECDSA_SIG_set0(sig.get(), r.get(), s.get()) == 1, "ECDSA_SIG_set0");
  r.release();
  s.release();
  unsigned char* der = nullptr;
  const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
  Check(derLength > 0, "i2d_ECDSA_SIG");
  const Bytes derBytes(der, der + derLength);
  OPENSSL_free(der);
  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  Check(ctx != nullptr && EVP_PKEY_verify_init(ctx.get()) == 1, "verify init");
  return EVP_PKEY_verify(ctx.get(), derBytes.data(), derBytes.size(), hash.data(), hash.size()) == 1;
}

Bytes Sm2Encrypt(const Bytes& pub, const Bytes& message) {
  const ossl::Pkey key = Sm2Key(nullptr, pub);
  return PkeyOperation(key.get(), Op::Encrypt, message, 0);
}

Bytes Sm2Decrypt(const Bytes& priv, const Bytes& ciphertext) {
  const ossl::Pkey key = Sm2Key(&priv, Sm2PublicFromPrivate(priv));
  return PkeyOperation(key.get(), Op::Decrypt, ciphertext, 0);
}

Bytes Sm2IdentityDigest(const Bytes& pub) {
  Check(pub.size() == 64, "SM2 public key length");
  const ossl::EcGroup group = Sm2Group();
  const ossl::BnCtx bnCtx(BN_CTX_new());
  const ossl::Bn p(BN_new()), a(BN_new()), b(BN_new()), gx(BN_new()), gy(BN_new());
  Check(bnCtx && p && a && b && gx && gy, "BN_new");
  Check(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), bnCtx.get()) == 1 &&
            EC_POINT_get_affine_coordinates(group.get(), EC_GROUP_get0_generator(group.get()), gx.get(),
                                            gy.get(), bnCtx.get()) == 1,
        "SM2 curve");
  const std::string id = "1234567812345678";
  Bytes z{0x00, 0x80};
  z.insert(z.end(), id.begin(), id.end());
  for (const BIGNUM* n : {a.get(), b.get(), gx.get(), gy.get()}) z = Concat(z, FromBn(n, 32));
  return Hash(Digest::Sm3, Concat(z, pub));
}

Bytes RsaGenerate(unsigned bits) {
  const ossl::PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  Check(ctx != nullptr && EVP_PKEY_keygen_init(ctx.get()) == 1 &&
            EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), static_cast<int>(bits)) == 1,
        "RSA keygen init");
  EVP_PKEY* raw = nullptr;
  Check(EVP_PKEY_generate(ctx.get(), &raw) == 1, "RSA keygen");
  const ossl::Pkey key(raw);
  unsigned char* der = nullptr;
  const int length = i2d_PrivateKey(key.get(), &der);
  Check(length > 0, "i2d_PrivateKey");
  Bytes out(der, der + length);
  OPENSSL_clear_free(der, static_cast<size_t>(length));
  return out;
}

unsigned RsaBits(const Bytes& privDer) {
  return static_cast<unsigned>(EVP_PKEY_get_bits(RsaPrivate(privDer).get()));
}

Bytes RsaPublicFromPrivate(const Bytes& privDer) {
  const ossl::Pkey key = RsaPrivate(privDer);
  BIGNUM* n = nullptr;
  BIGNUM* e = nullptr;
  Check(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &n) == 1, "RSA n");
  const ossl::Bn holdN(n);
  Check(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_E, &e) == 1, "RSA e");
  const ossl::Bn holdE(e);
  const size_t width = static_cast<size_t>(EVP_PKEY_get_bits(key.get()) + 7) / 8;
  return Concat(FromBn(n, width), FromBn(e, 4));
}

Bytes RsaRawPublic(const Bytes& pub, const Bytes& input) {
  const ossl::Pkey key = RsaPublic(pub);
  return PkeyOperation(key.get(), Op::Encrypt, input, RSA_NO_PADDING);
}

Bytes RsaRawPrivate(const Bytes& privDer, const Bytes& input) {
  const ossl::Pkey key = RsaPrivate(privDer);
  return PkeyOperation(key.get(), Op::Decrypt, input, RSA_NO_PADDING);
}

Bytes RsaPkcs1Encrypt(const Bytes& pub, const Bytes& message) {
  const ossl::Pkey key = RsaPublic(pub);
  return PkeyOperation(key.get(), Op::Encrypt, message, RSA_PKCS1_PADDING);
}

Bytes RsaPkcs1Decrypt(const Bytes& privDer, const Bytes& ciphertext) {
  const ossl::Pkey key = RsaPrivate(privDer);
  return PkeyOperation(key.get(), Op::Decrypt, ciphertext, RSA_PKCS1_PADDING);
}

Bytes RsaFromComponents(const Bytes& p, const Bytes& q, const Bytes& dp, const Bytes& dq,
                        const Bytes& qinv) {
  const ossl::BnCtx bnCtx(BN_CTX_new());
  const ossl::Bn bp = ToBn(p), bq = ToBn(q), bdp = ToBn(dp), bdq = ToBn(dq), bqinv = ToBn(qinv);
  const ossl::Bn n(BN_new()), e(BN_new()), d(BN_new()), p1(BN_new()), q1(BN_new()), phi(BN_new());
  Check(bnCtx && n && e && d && p1 && q1 && phi, "BN_new");
  // e is small, so it is the inverse of dp modulo p - 1 itself.
  Check(BN_mul(n.get(), bp.get(), bq.get(), bnCtx.get()) == 1 && BN_sub(p1.get(), bp.get(), BN_value_one()) == 1 &&
            BN_sub(q1.get(), bq.get(), BN_value_one()) == 1 &&
            BN_mul(phi.get(), p1.get(), q1.get(), bnCtx.get()) == 1 &&
            BN_mod_inverse(e.get(), bdp.get(), p1.get(), bnCtx.get()) != nullptr &&
            BN_mod_inverse(d.get(), e.get(), phi.get(), bnCtx.get()) != nullptr,
        "RSA components");
  ossl::ParamBld builder(OSSL_PARAM_BLD_new());
  Check(builder != nullptr, "OSSL_PARAM_BLD_new");
  Check(OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_D, d.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, bp.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, bq.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, bdp.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, bdq.get()) == 1 &&
            OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, bqinv.get()) == 1,
        "RSA params");
  const ossl::Pkey key = FromParams("RSA", builder, EVP_PKEY_KEYPAIR);
  unsigned char* der = nullptr;
  const int length = i2d_PrivateKey(key.get(), &der);
  Check(length > 0, "i2d_PrivateKey");
  Bytes out(der, der + length);
  OPENSSL_clear_free(der, static_cast<size_t>(length));
  return out;
}

Bytes SelfSignedCertificate(const Bytes& privKeyFile, bool sm2, const std::string& commonName) {
  const ossl::Pkey key = sm2 ? Sm2Key(&privKeyFile, Sm2PublicFromPrivate(privKeyFile)) : RsaPrivate(privKeyFile);
  const ossl::X509Ptr cert(X509_new());
  Check(cert != nullptr, "X509_new");
  const Bytes serial = RandomBytes(8);
  const ossl::Bn serialBn = ToBn(serial);
  X509_NAME* name = X509_get_subject_name(cert.get());
  Check(X509_set_version(cert.get(), 2) == 1 &&
            BN_to_ASN1_INTEGER(serialBn.get(), X509_get_serialNumber(cert.get())) != nullptr &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600) != nullptr &&
            X509_set_pubkey(cert.get(), key.get()) == 1 &&
            X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>("QAVSeal virtual key"), -1, -1,
                                       0) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                       0) == 1 &&
            X509_set_issuer_name(cert.get(), name) == 1,
        "certificate fields");
  Check(X509_sign(cert.get(), key.get(), sm2 ? EVP_sm3() : EVP_sha256()) > 0, "X509_sign");
  unsigned char* der = nullptr;
  const int length = i2d_X509(cert.get(), &der);
  Check(length > 0, "i2d_X509");
  Bytes out(der, der + length);
  OPENSSL_free(der);
  return out;
}

bool CertificateSignedBy(const Bytes& certificate, const Bytes& pubKeyFile) {
  const unsigned char* p = certificate.data();
  const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(certificate.size())));
  if (cert == nullptr) return false;
  const ossl::Pkey key = PublicKeyOfFile(pubKeyFile);
  return X509_verify(cert.get(), key.get()) == 1;
}

}  // namespace vcard
