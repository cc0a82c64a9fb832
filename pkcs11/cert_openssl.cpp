// Certificate parsing through OpenSSL's libcrypto (Linux).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

#include "cert_info.h"

namespace qav::p11 {

namespace {

struct FreeX509 {
    void operator()(X509* x) const { X509_free(x); }
};
struct FreeBn {
    void operator()(BIGNUM* b) const { BN_free(b); }
};

template <typename T, typename F>
Bytes Der(T* object, F encode) {
    const int length = encode(object, nullptr);
    if (length <= 0) return {};
    Bytes out(static_cast<size_t>(length));
    unsigned char* p = out.data();
    if (encode(object, &p) != length) return {};
    return out;
}

Bytes BnBytes(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return {};
    const std::unique_ptr<BIGNUM, FreeBn> bn(raw);
    Bytes out(static_cast<size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

}  // namespace

std::optional<CertInfo> ParseCertificate(const Bytes& der) {
    const unsigned char* p = der.data();
    const std::unique_ptr<X509, FreeX509> cert(
        d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert) return std::nullopt;
    CertInfo info;
    info.subject = Der(X509_get_subject_name(cert.get()), i2d_X509_NAME);
    info.issuer = Der(X509_get_issuer_name(cert.get()), i2d_X509_NAME);
    info.serialNumber =
        Der(const_cast<ASN1_INTEGER*>(X509_get0_serialNumber(cert.get())), i2d_ASN1_INTEGER);
    info.publicKeyInfo = Der(X509_get_X509_PUBKEY(cert.get()), i2d_X509_PUBKEY);
    const EVP_PKEY* key = X509_get0_pubkey(cert.get());
    if (key == nullptr) return std::nullopt;
    if (EVP_PKEY_is_a(key, "RSA")) {
        info.kind = KeyKind::Rsa;
        info.modulus = BnBytes(key, OSSL_PKEY_PARAM_RSA_N);
        info.exponent = BnBytes(key, OSSL_PKEY_PARAM_RSA_E);
        info.bits = static_cast<unsigned long>(EVP_PKEY_get_bits(key));
        if (info.modulus.empty() || info.exponent.empty()) return std::nullopt;
        return info;
    }
    char group[64] = {};
    size_t groupLength = 0;
    const bool sm2Curve = EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group,
                                                         sizeof group, &groupLength) == 1 &&
                          std::strcmp(group, "SM2") == 0;
    if (!EVP_PKEY_is_a(key, "SM2") && !sm2Curve) return std::nullopt;
    info.kind = KeyKind::Sm2;
    info.bits = 256;
    size_t pointLength = 0;
    unsigned char point[65] = {};
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point,
                                        sizeof point, &pointLength) != 1 ||
        pointLength != sizeof point || point[0] != 0x04) {
        return std::nullopt;
    }
    info.point.assign(point, point + sizeof point);
    return info;
}

}  // namespace qav::p11
