// The card's cryptography, on OpenSSL 3. Keys travel as the byte layouts the
// card keeps in its key files:
//   SM2 private: d (32 bytes)          SM2 public: x || y (64 bytes)
//   RSA private: PKCS#1 RSAPrivateKey  RSA public: modulus || exponent (4 bytes)
// Every function throws CryptoError on failure.
#pragma once

#include <stdexcept>
#include <string>

#include "bytes.h"

namespace vcard {

struct CryptoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Bytes RandomBytes(size_t count);

enum class Digest { Sm3, Sha1, Sha256 };
Bytes Hash(Digest digest, const Bytes& data);

// Block ciphers without padding; an empty iv means ECB.
enum class Cipher { Sm4, Aes128, Des3 };
Bytes BlockCipher(Cipher cipher, const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt);
size_t BlockSize(Cipher cipher);
// 80 00 .. up to a multiple of the block (always at least one byte added).
Bytes PadIso(const Bytes& data, size_t block);
// Undo PadIso; empty optional semantics via bool.
bool UnpadIso(Bytes& data);
// CBC-MAC: last cipher block of data (already padded) with the given iv.
Bytes CbcMac(Cipher cipher, const Bytes& key, const Bytes& iv, const Bytes& data);

struct Sm2KeyPair {
  Bytes priv;  // 32
  Bytes pub;   // 64
};
Sm2KeyPair Sm2Generate();
Bytes Sm2PublicFromPrivate(const Bytes& priv);
// Signs the 32 bytes as given (no identity preprocessing); r || s.
Bytes Sm2Sign(const Bytes& priv, const Bytes& hash);
bool Sm2Verify(const Bytes& pub, const Bytes& hash, const Bytes& signature);
// Ciphertexts are OpenSSL's DER form: SEQUENCE { x, y, hash, ciphertext }.
Bytes Sm2Encrypt(const Bytes& pub, const Bytes& message);
Bytes Sm2Decrypt(const Bytes& priv, const Bytes& ciphertext);
// The signer's identity digest Z with the default identity 1234567812345678.
Bytes Sm2IdentityDigest(const Bytes& pub);

Bytes RsaGenerate(unsigned bits);
Bytes RsaPublicFromPrivate(const Bytes& privDer);
unsigned RsaBits(const Bytes& privDer);
// Raw modular exponentiation (no padding) with the public or private key.
Bytes RsaRawPublic(const Bytes& pub, const Bytes& input);
Bytes RsaRawPrivate(const Bytes& privDer, const Bytes& input);
Bytes RsaPkcs1Encrypt(const Bytes& pub, const Bytes& message);
Bytes RsaPkcs1Decrypt(const Bytes& privDer, const Bytes& ciphertext);
// Build a private key from its CRT components (p, q, dp, dq, qinv).
Bytes RsaFromComponents(const Bytes& p, const Bytes& q, const Bytes& dp, const Bytes& dq,
                        const Bytes& qinv);

// A self-signed X.509 certificate in DER for a key file's private key.
Bytes SelfSignedCertificate(const Bytes& privKeyFile, bool sm2, const std::string& commonName);
// Checks a DER certificate's signature with a public key file's key.
bool CertificateSignedBy(const Bytes& certificate, const Bytes& pubKeyFile);

}  // namespace vcard
