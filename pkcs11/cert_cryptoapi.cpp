// Certificate parsing through the system's CryptoAPI (Windows).
#include <windows.h>
// windows.h first: wincrypt.h needs its types.
#include <wincrypt.h>

#include <cstring>
#include <memory>

#include "cert_info.h"

namespace qav::p11 {

namespace {

struct FreeContext {
    void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};

Bytes Blob(const CRYPT_DATA_BLOB& blob) { return Bytes(blob.pbData, blob.pbData + blob.cbData); }

// CryptoAPI keeps integers little-endian: back to a DER INTEGER.
Bytes DerInteger(const CRYPT_INTEGER_BLOB& blob) {
    Bytes value(blob.pbData, blob.pbData + blob.cbData);
    Bytes big(value.rbegin(), value.rend());
    while (big.size() > 1 && big[0] == 0 && (big[1] & 0x80) == 0) big.erase(big.begin());
    if (!big.empty() && (big[0] & 0x80) != 0) big.insert(big.begin(), 0);
    Bytes out{0x02};
    if (big.size() < 0x80) {
        out.push_back(static_cast<uint8_t>(big.size()));
    } else {
        out.push_back(0x81);
        out.push_back(static_cast<uint8_t>(big.size()));
    }
    out.insert(out.end(), big.begin(), big.end());
    return out;
}

Bytes Encoded(LPCSTR type, const void* value) {
    DWORD length = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, nullptr, &length)) return {};
    Bytes out(length);
    if (!CryptEncodeObject(X509_ASN_ENCODING, type, value, out.data(), &length)) return {};
    out.resize(length);
    return out;
}

}  // namespace

std::optional<CertInfo> ParseCertificate(const Bytes& der) {
    const std::unique_ptr<const CERT_CONTEXT, FreeContext> cert(CertCreateCertificateContext(
        X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    if (!cert) return std::nullopt;
    const CERT_INFO* info = cert->pCertInfo;
    CertInfo out;
    out.subject = Blob(info->Subject);
    out.issuer = Blob(info->Issuer);
    out.serialNumber = DerInteger(info->SerialNumber);
    const CERT_PUBLIC_KEY_INFO& key = info->SubjectPublicKeyInfo;
    out.publicKeyInfo = Encoded(X509_PUBLIC_KEY_INFO, &key);
    const char* algorithm = key.Algorithm.pszObjId;
    if (std::strcmp(algorithm, szOID_RSA_RSA) == 0) {
        DWORD length = 0;
        if (!CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, key.PublicKey.pbData,
                               key.PublicKey.cbData, 0, nullptr, &length)) {
            return std::nullopt;
        }
        Bytes blob(length);
        if (!CryptDecodeObject(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, key.PublicKey.pbData,
                               key.PublicKey.cbData, 0, blob.data(), &length) ||
            length < sizeof(PUBLICKEYSTRUC) + sizeof(RSAPUBKEY)) {
            return std::nullopt;
        }
        RSAPUBKEY rsa;
        std::memcpy(&rsa, blob.data() + sizeof(PUBLICKEYSTRUC), sizeof rsa);
        const size_t modulusLength = rsa.bitlen / 8;
        const size_t at = sizeof(PUBLICKEYSTRUC) + sizeof(RSAPUBKEY);
        if (blob.size() < at + modulusLength || modulusLength == 0) return std::nullopt;
        out.kind = KeyKind::Rsa;
        out.bits = rsa.bitlen;
        out.modulus.assign(
            blob.rbegin() + static_cast<std::ptrdiff_t>(blob.size() - at - modulusLength),
            blob.rbegin() + static_cast<std::ptrdiff_t>(blob.size() - at));
        for (uint32_t e = rsa.pubexp; e != 0; e >>= 8) {
            out.exponent.insert(out.exponent.begin(), static_cast<uint8_t>(e & 0xFF));
        }
        while (!out.modulus.empty() && out.modulus[0] == 0) out.modulus.erase(out.modulus.begin());
        return out;
    }
    static const uint8_t sm2Params[] = {0x06, 0x08, 0x2A, 0x81, 0x1C, 0xCF, 0x55, 0x01, 0x82, 0x2D};
    const CRYPT_OBJID_BLOB& params = key.Algorithm.Parameters;
    const bool sm2 = std::strcmp(algorithm, szOID_ECC_PUBLIC_KEY) == 0 &&
                     params.cbData == sizeof sm2Params &&
                     std::memcmp(params.pbData, sm2Params, sizeof sm2Params) == 0;
    if (!sm2 || key.PublicKey.cbData != 65 || key.PublicKey.pbData[0] != 0x04) return std::nullopt;
    out.kind = KeyKind::Sm2;
    out.bits = 256;
    out.point.assign(key.PublicKey.pbData, key.PublicKey.pbData + 65);
    return out;
}

}  // namespace qav::p11
