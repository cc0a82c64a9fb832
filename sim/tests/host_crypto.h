// What a host (a test author) computes with OpenSSL to talk to the virtual
// key, written from sim/README.md rather than from the card's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text);
std::string Hex(const Bytes& bytes);

Bytes Sm3(const Bytes& data);
// Secure messaging: MAC = first 4 bytes of SM4-CBC over the command padded
// 80 00.., IV = the challenge padded with zeros; cryptograms are SM4-ECB of
// the plaintext padded 80 00...
Bytes SecureMac(const Bytes& macKey, const Bytes& challenge, const Bytes& command);
Bytes SecureEncrypt(const Bytes& encKey, const Bytes& plaintext);
Bytes Sm4Ecb(const Bytes& key, const Bytes& block);
// SM2 signature r || s over a 32-byte digest, public key x || y.
bool Sm2Verify(const Bytes& pub, const Bytes& digest, const Bytes& signature);
// The same over a message: the digest is SM3(Z || message), Z from the
// default identity 1234567812345678.
bool Sm2VerifyMessage(const Bytes& pub, const Bytes& message, const Bytes& signature);
// Raw RSA public operation with modulus and exponent.
Bytes RsaPublicRaw(const Bytes& modulus, const Bytes& exponent, const Bytes& input);

// Any digest or unpadded block cipher OpenSSL knows by name ("SHA1",
// "DES-EDE3-CBC", ...); an empty iv for ECB modes.
Bytes Digest(const char* name, const Bytes& data);
Bytes Cipher(const char* name, const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt);

// Key pairs in the forms the key loading commands take.
struct Sm2Pair {
    Bytes priv;  // d, 32 bytes
    Bytes pub;   // x || y
};
Sm2Pair Sm2Generate();  // a fresh one
// OpenSSL's SM2 ciphertext (DER) of message under x || y.
Bytes Sm2Encrypt(const Bytes& pub, const Bytes& message);
// And back, with the private scalar d and its x || y; throws when it fails.
Bytes Sm2Decrypt(const Bytes& priv, const Bytes& pub, const Bytes& ciphertext);
struct RsaPair {
    Bytes modulus, exponent;   // exponent in 4 bytes
    Bytes p, q, dp, dq, qinv;  // bits/16 bytes each
};
// The parts of a PKCS #1 RSAPrivateKey (DER) of the given size.
RsaPair RsaParts(const Bytes& der, unsigned bits);

}  // namespace host
