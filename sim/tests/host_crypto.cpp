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

Bytes FromBn(const BIGNUM* bn, size_t width) {
    Bytes out(width);
    Require(BN_bn2binpad(bn, out.data(), static_cast<int>(width)) == static_cast<int>(width),
            "number too long");
    return out;
}

Bytes BnParam(const EVP_PKEY* key, const char* name, size_t width) {
    BIGNUM* bn = nullptr;
    Require(EVP_PKEY_get_bn_param(key, name, &bn) == 1, name);
    const Bn hold(bn);
    return FromBn(bn, width);
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

Pkey Sm2PublicKey(const Bytes& pub) {
    Require(pub.size() == 64, "SM2 public key size");
    Bld bld(OSSL_PARAM_BLD_new());
    Bytes point{0x04};
    point.insert(point.end(), pub.begin(), pub.end());
    static char group[] = "SM2";
    OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0);
    OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                     point.size());
    return FromData("SM2", bld);
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

Bytes Sm3(const Bytes& data) { return Digest("SM3", data); }

Bytes Digest(const char* name, const Bytes& data) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    Require(md != nullptr, name);
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned n = 0;
    const int ok = EVP_Digest(data.data(), data.size(), out.data(), &n, md, nullptr);
    EVP_MD_free(md);
    Require(ok == 1, name);
    out.resize(n);
    return out;
}

Bytes Cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt) {
    const CipherCtx ctx(EVP_CIPHER_CTX_new());
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, name, nullptr);
    Require(cipher != nullptr, name);
    const int ok = EVP_CipherInit_ex2(ctx.get(), cipher, key.data(),
                                      iv.empty() ? nullptr : iv.data(), encrypt ? 1 : 0, nullptr);
    EVP_CIPHER_free(cipher);
    Require(ok == 1 && EVP_CIPHER_CTX_get_key_length(ctx.get()) == static_cast<int>(key.size()),
            name);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    Bytes out(data.size() + 32);
    int n = 0;
    int tail = 0;
    Require(EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(),
                             static_cast<int>(data.size())) == 1 &&
                EVP_CipherFinal_ex(ctx.get(), out.data() + n, &tail) == 1,
            name);
    out.resize(static_cast<size_t>(n + tail));
    return out;
}

Bytes SecureMac(const Bytes& macKey, const Bytes& challenge, const Bytes& command) {
    Bytes iv = challenge;
    iv.resize(16, 0);
    const Bytes cbc = Cipher("SM4-CBC", macKey, iv, Pad(command), true);
    return Bytes(cbc.end() - 16, cbc.end() - 12);
}

Bytes SecureEncrypt(const Bytes& encKey, const Bytes& plaintext) {
    return Cipher("SM4-ECB", encKey, {}, Pad(plaintext), true);
}

Bytes Sm4Ecb(const Bytes& key, const Bytes& block) {
    return Cipher("SM4-ECB", key, {}, block, true);
}

namespace {

Bytes DerSignature(const Bytes& signature) {
    Require(signature.size() == 64, "SM2 signature size");
    const Sig sig(ECDSA_SIG_new());
    Bn r = ToBn(signature.data(), 32);
    Bn s = ToBn(signature.data() + 32, 32);
    Require(sig && ECDSA_SIG_set0(sig.get(), r.release(), s.release()) == 1, "sig");
    unsigned char* der = nullptr;
    const int derLength = i2d_ECDSA_SIG(sig.get(), &der);
    Require(derLength > 0, "sig");
    Bytes out(der, der + derLength);
    OPENSSL_free(der);
    return out;
}

}  // namespace

bool Sm2Verify(const Bytes& pub, const Bytes& digest, const Bytes& signature) {
    const Pkey key = Sm2PublicKey(pub);
    const Bytes der = DerSignature(signature);
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
           EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size()) == 1;
}

bool Sm2VerifyMessage(const Bytes& pub, const Bytes& message, const Bytes& signature) {
    const Pkey key = Sm2PublicKey(pub);
    const Bytes der = DerSignature(signature);
    static const char kId[] = "1234567812345678";
    // The digest context borrows the key context: it must go first.
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    const std::unique_ptr<EVP_MD_CTX, Free<EVP_MD_CTX, EVP_MD_CTX_free>> md(EVP_MD_CTX_new());
    Require(md && ctx && EVP_PKEY_CTX_set1_id(ctx.get(), kId, sizeof kId - 1) == 1, "SM2 id");
    EVP_MD_CTX_set_pkey_ctx(md.get(), ctx.get());
    return EVP_DigestVerifyInit(md.get(), nullptr, EVP_sm3(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(md.get(), der.data(), der.size(), message.data(), message.size()) == 1;
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
    Require(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
                EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_NO_PADDING) == 1 &&
                EVP_PKEY_encrypt(ctx.get(), out.data(), &length, input.data(), input.size()) == 1,
            "RSA");
    out.resize(length);
    return out;
}

Sm2Pair Sm2Generate() {
    const Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "SM2"));
    Require(key != nullptr, "SM2 key generation");
    Bytes point(65);
    size_t length = 0;
    Require(EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                            point.size(), &length) == 1 &&
                length == 65,
            "SM2 public key");
    return {BnParam(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, 32),
            Bytes(point.begin() + 1, point.end())};
}

Bytes Sm2Encrypt(const Bytes& pub, const Bytes& message) {
    const Pkey key = Sm2PublicKey(pub);
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t length = 0;
    Require(ctx && EVP_PKEY_encrypt_init(ctx.get()) == 1 &&
                EVP_PKEY_encrypt(ctx.get(), nullptr, &length, message.data(), message.size()) == 1,
            "SM2 encryption");
    Bytes out(length);
    Require(EVP_PKEY_encrypt(ctx.get(), out.data(), &length, message.data(), message.size()) == 1,
            "SM2 encryption");
    out.resize(length);
    return out;
}

Bytes Sm2Decrypt(const Bytes& priv, const Bytes& pub, const Bytes& ciphertext) {
    Require(priv.size() == 32 && pub.size() == 64, "SM2 key pair size");
    Bld bld(OSSL_PARAM_BLD_new());
    Bytes point{0x04};
    point.insert(point.end(), pub.begin(), pub.end());
    const Bn d = ToBn(priv.data(), priv.size());
    static char group[] = "SM2";
    Require(
        bld && d &&
            OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, group, 0) == 1 &&
            OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(),
                                             point.size()) == 1 &&
            OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, d.get()) == 1,
        "SM2 key pair");
    const Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    const PkeyCtx fromData(EVP_PKEY_CTX_new_from_name(nullptr, "SM2", nullptr));
    EVP_PKEY* raw = nullptr;
    Require(params && fromData && EVP_PKEY_fromdata_init(fromData.get()) == 1 &&
                EVP_PKEY_fromdata(fromData.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) == 1,
            "SM2 key pair");
    const Pkey key(raw);
    const PkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
    size_t length = 0;
    Require(ctx && EVP_PKEY_decrypt_init(ctx.get()) == 1 &&
                EVP_PKEY_decrypt(ctx.get(), nullptr, &length, ciphertext.data(),
                                 ciphertext.size()) == 1,
            "SM2 decryption");
    Bytes out(length);
    Require(
        EVP_PKEY_decrypt(ctx.get(), out.data(), &length, ciphertext.data(), ciphertext.size()) == 1,
        "SM2 decryption");
    out.resize(length);
    return out;
}

RsaPair RsaParts(const Bytes& der, unsigned bits) {
    const unsigned char* p = der.data();
    const Pkey key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, static_cast<long>(der.size())));
    Require(key != nullptr && EVP_PKEY_get_bits(key.get()) == static_cast<int>(bits), "RSA key");
    const size_t half = bits / 16;
    return {BnParam(key.get(), OSSL_PKEY_PARAM_RSA_N, bits / 8),
            BnParam(key.get(), OSSL_PKEY_PARAM_RSA_E, 4),
            BnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR1, half),
            BnParam(key.get(), OSSL_PKEY_PARAM_RSA_FACTOR2, half),
            BnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT1, half),
            BnParam(key.get(), OSSL_PKEY_PARAM_RSA_EXPONENT2, half),
            BnParam(key.get(), OSSL_PKEY_PARAM_RSA_COEFFICIENT1, half)};
}

}  // namespace host
