// What the module takes from a container's certificate.
#pragma once

#include <optional>

#include "bytes.h"

namespace qav::p11 {

enum class KeyKind { Rsa, Sm2 };

struct CertInfo {
    Bytes subject;        // DER Name
    Bytes issuer;         // DER Name
    Bytes serialNumber;   // DER INTEGER
    Bytes publicKeyInfo;  // DER SubjectPublicKeyInfo
    KeyKind kind = KeyKind::Rsa;
    Bytes modulus;   // RSA, big-endian without leading zeros
    Bytes exponent;  // RSA
    Bytes point;     // SM2: 04 || x || y, 65 bytes
    unsigned long bits = 0;
};

// Nothing for a certificate that does not parse or whose key is neither RSA
// nor an SM2 key.
std::optional<CertInfo> ParseCertificate(const Bytes& der);

}  // namespace qav::p11
