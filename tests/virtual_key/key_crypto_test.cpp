// The key, cipher and hash commands both cards share, against the virtual
// key, each result checked with OpenSSL on the host: raw RSA, SM2 signatures
// and decryption, session-key ciphers (through the exports), wrapped session
// keys, card hashes, and keys loaded through the MAC channel; the raw private
// calculation of the exports against the certificate's key.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "codec/padding.h"
#include "crypto_fixture.h"
#include "device/seal_application.h"

namespace qav {
namespace {

using fake::Bytes;

// Key files of the default key: containers 2 (RSA-1024), 3 (RSA-2048) and 1
// (SM2), and container 4's empty pair for generated and loaded keys.
constexpr uint16_t kRsa1024Private = 0x2102, kRsa1024Public = 0x2202;
constexpr uint16_t kRsa2048Private = 0x2103, kRsa2048Public = 0x2203;
constexpr uint16_t kSm2Private = 0x2101, kSm2Public = 0x2201;
constexpr uint16_t kSparePrivate = 0x2104, kSparePublic = 0x2204;

class KeyCryptoTest : public test::CryptoTest {
protected:
    // Public key of a key file: modulus || exponent (RSA) or x || y (SM2).
    Bytes PublicKey(uint16_t fid, uint32_t algorithm) {
        uint8_t first[64];
        auto firstLength = U32(sizeof first);
        Bytes value(300);
        auto keyLength = U32(value.size());
        EXPECT_EQ(card().ExportPublicKey(0, fid, algorithm, 0, 0, 0, value.data(), &keyLength,
                                         first, &firstLength, 0),
                  QAV_OK);
        value.resize(keyLength);
        return value;
    }
    Bytes RsaPrivate(unsigned bits, uint16_t fid, const Bytes& in) {
        return Output(bits / 8, [&](uint8_t* out, uint32_t* length) {
            return card().RSAPrivateKeyCalc(bits, fid, in.data(), U32(in.size()), out, length, 0);
        });
    }
    Bytes RsaPublic(unsigned bits, uint16_t fid, const Bytes& in) {
        return Output(bits / 8, [&](uint8_t* out, uint32_t* length) {
            return card().RSAPublicKeyCalc(bits, fid, in.data(), U32(in.size()), out, length, 0);
        });
    }
    Bytes Sm2Sign(uint16_t fid, const Bytes& digest) {
        Bytes signature = Output(64, [&](uint8_t* out, uint32_t* length) {
            return card().SM2PrivateKeyCalc(0, fid, digest.data(), 32, out, length, 0);
        });
        EXPECT_EQ(signature.size(), 64u);
        signature.resize(64);  // so the host's check fails rather than throws
        return signature;
    }
};

TEST_F(KeyCryptoTest, RsaCalculationsEqualOpenSslWithTheExportedKey) {
    struct Case {
        unsigned bits;
        uint16_t privateFile, publicFile;
        bool generate;
    };
    const Case cases[] = {{1024, kRsa1024Private, kRsa1024Public, false},
                          {1280, kSparePrivate, kSparePublic, true},
                          {2048, kRsa2048Private, kRsa2048Public, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        if (c.generate) {
            ASSERT_EQ(
                card().GenRSAKeyPair(c.bits, c.privateFile, c.publicFile, nullptr, nullptr, 0),
                QAV_OK);
        }
        const uint32_t keyLength = c.bits / 8 + 4;
        const Bytes publicKey = PublicKey(c.publicFile, 0);
        ASSERT_EQ(publicKey.size(), keyLength);
        const Bytes modulus(publicKey.begin(), publicKey.end() - 4);
        const Bytes exponent(publicKey.end() - 4, publicKey.end());
        Bytes input = Pattern(c.bits / 8, 0x21);
        input[0] = 0x01;  // below any modulus of this size

        const Bytes encrypted = RsaPublic(c.bits, c.publicFile, input);
        EXPECT_EQ(H(encrypted), H(host::RsaPublicRaw(modulus, exponent, input)));
        EXPECT_EQ(H(RsaPrivate(c.bits, c.privateFile, encrypted)), H(input));
    }
}

// OpenSSL's raw public operation with the key of a container's certificate.
Bytes CertificateKeyRaw(const Bytes& certificate, const Bytes& input) {
    const uint8_t* at = certificate.data();
    const std::unique_ptr<X509, decltype(&X509_free)> x509(
        d2i_X509(nullptr, &at, static_cast<long>(certificate.size())), X509_free);
    if (!x509) return {};
    const std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(
        EVP_PKEY_CTX_new(X509_get0_pubkey(x509.get()), nullptr), EVP_PKEY_CTX_free);
    Bytes out(input.size());
    size_t length = out.size();
    if (!context || EVP_PKEY_encrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_NO_PADDING) != 1 ||
        EVP_PKEY_encrypt(context.get(), out.data(), &length, input.data(), input.size()) != 1) {
        return {};
    }
    out.resize(length);
    return out;
}

TEST_F(KeyCryptoTest, RawPrivateCalculationInvertsTheCertificatesKey) {
    for (const auto& [name, bits] : {std::pair{"QAV-RSA1024", 128u}, {"QAV-RSA2048", 256u}}) {
        SCOPED_TRACE(name);
        const Bytes certificate = Output(4096, [&](uint8_t* out, uint32_t* length) {
            return QAV_ReadCert(handle, name, out, length, 0);
        });
        const auto raw = [&](const Bytes& in) {
            return Output(bits, [&](uint8_t* out, uint32_t* length) {
                return QAV_PrivateKeyCalcRaw(handle, name, in.data(), U32(in.size()), out, length,
                                             0);
            });
        };
        // Neither block is PKCS #1 padded: any padding step would refuse or
        // change it.
        Bytes block = Pattern(bits, 0x21);
        block[0] = 0x01;  // below any modulus of this size
        EXPECT_EQ(H(CertificateKeyRaw(certificate, raw(block))), H(block));
        EXPECT_EQ(H(raw(CertificateKeyRaw(certificate, block))), H(block));
    }
}

TEST_F(KeyCryptoTest, Sm2SignaturesAndDecryptionWorkWithOpenSsl) {
    struct Case {
        const char* what;
        int generateVariant;  // -1: the key's own pair
    };
    const Case cases[] = {
        {"the key's pair", -1}, {"generated, variant 0", 0}, {"generated, variant 1", 1}};
    const Bytes message = Pattern(40, 0x5A);
    const Bytes digest = host::Sm3(message);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint16_t privateFile = kSm2Private;
        Bytes pub;
        if (c.generateVariant < 0) {
            pub = PublicKey(kSm2Public, 1);
        } else {
            privateFile = kSparePrivate;
            pub = Output(64, [&](uint8_t* out, uint32_t* length) {
                return card().GenSM2KeyPair(static_cast<uint32_t>(c.generateVariant), privateFile,
                                            0, out, length, 0);
            });
        }
        ASSERT_EQ(pub.size(), 64u);

        EXPECT_TRUE(host::Sm2Verify(pub, digest, Sm2Sign(privateFile, digest)));
        const Bytes ciphertext = host::Sm2Encrypt(pub, message);
        EXPECT_EQ(Output(message.size(),
                         [&](uint8_t* out, uint32_t* length) {
                             return card().SM2PrivateKeyCalc(1, privateFile, ciphertext.data(),
                                                             U32(ciphertext.size()), out, length,
                                                             0);
                         }),
                  message);
    }

    // The card's own verification agrees with OpenSSL's on a good and a bad signature.
    Bytes signed96 = Concat(digest, Sm2Sign(kSm2Private, digest));
    uint32_t none = 0;
    EXPECT_EQ(card().SM2PublicKeyCalc(0, kSm2Public, signed96.data(), 96, nullptr, &none, 0),
              QAV_OK);
    signed96[40] ^= 0x01;
    EXPECT_NE(card().SM2PublicKeyCalc(0, kSm2Public, signed96.data(), 96, nullptr, &none, 0),
              QAV_OK);
}

// Through the exports, so each algorithm identifier's card cipher meets
// OpenSSL's of that name.
TEST_F(KeyCryptoTest, SessionKeyCiphersEqualOpenSsl) {
    struct Case {
        uint32_t identifier;
        const char* ecb;
        const char* cbc;
        size_t keyLength, block;
    };
    const Case cases[] = {{1, "SM4-ECB", "SM4-CBC", 16, 16},
                          {4, "AES-128-ECB", "AES-128-CBC", 16, 16},
                          {16, "DES-EDE-ECB", "DES-EDE-CBC", 16, 8},
                          {32, "DES-EDE3-ECB", "DES-EDE3-CBC", 24, 8},
                          {64, "SM4-ECB", "SM4-CBC", 16, 16}};
    const Bytes plain = Pattern(480, 0x03);  // three pieces: 208, 208, 64
    for (const Case& c : cases) {
        SCOPED_TRACE(c.identifier);
        const Bytes sessionKey = Pattern(c.keyLength, static_cast<uint8_t>(0x40 + c.identifier));
        const Bytes iv = Pattern(c.block, 0x99);
        QAV_SessionKey* session = nullptr;
        ASSERT_EQ(QAV_ImportSessionKey(handle, c.identifier, sessionKey.data(), U32(c.keyLength),
                                       nullptr, &session, 0),
                  QAV_OK);
        const auto cipher = [&](auto call, uint32_t withIv, const Bytes& in) {
            return Output(in.size(), [&](uint8_t* out, uint32_t* length) {
                return call(handle, session, withIv, 0, withIv != 0 ? iv.data() : nullptr,
                            withIv != 0 ? U32(iv.size()) : 0, in.data(), U32(in.size()), out,
                            length, 0);
            });
        };
        EXPECT_EQ(H(cipher(QAV_SessionKeyEncrypt, 1, plain)),
                  H(host::Cipher(c.cbc, sessionKey, iv, plain, true)));
        EXPECT_EQ(
            H(cipher(QAV_SessionKeyDecrypt, 0, host::Cipher(c.ecb, sessionKey, {}, plain, true))),
            H(plain));
        EXPECT_EQ(H(Output(c.keyLength,
                           [&](uint8_t* out, uint32_t* length) {
                               return QAV_ExportSessionKey(handle, session, nullptr, out, length,
                                                           0);
                           })),
                  H(sessionKey));
        EXPECT_EQ(QAV_DelSessionKey(handle, session, 0), QAV_OK);
    }
}

TEST_F(KeyCryptoTest, WrappedSessionKeysTravelUnderTheCardsPublicKeys) {
    // In: wrapped by OpenSSL under the SM2 public key, unwrapped by the card.
    const Bytes sessionKey = Pattern(16, 0x71);
    const Bytes wrapped = host::Sm2Encrypt(PublicKey(kSm2Public, 1), sessionKey);
    uint32_t index = 0;
    ASSERT_EQ(card().ImportSessionKey(0, 1, 1, 0, kSm2Private, 2, wrapped.data(),
                                      U32(wrapped.size()), &index, 0),
              QAV_OK);
    const Bytes plain = Pattern(32, 0x10);
    EXPECT_EQ(H(SessionCipher(0, index, {}, plain)),
              H(host::Cipher("SM4-ECB", sessionKey, {}, plain, true)));

    // Out: wrapped by the card under the RSA-1024 public key, opened with the
    // card's raw private operation and the library's own unpadding.
    const Bytes out = Output(128, [&](uint8_t* buffer, uint32_t* length) {
        return card().ExportSessionKey(index, 1, 1, kRsa1024Public, 0, buffer, length, 0);
    });
    ASSERT_EQ(out.size(), 128u);
    Bytes block = RsaPrivate(1024, kRsa1024Private, out);
    ASSERT_EQ(block.size(), 128u);
    auto length = U32(block.size());
    ASSERT_EQ(Unpad(5, 128, block.data(), 128, block.data(), &length), QAV_OK);
    block.resize(length);
    EXPECT_EQ(H(block), H(sessionKey));
}

TEST_F(KeyCryptoTest, CardHashesEqualOpenSsl) {
    const Bytes data = Pattern(300, 0x07);  // three pieces of at most 127
    const std::pair<uint32_t, const char*> algorithms[] = {{1, "SM3"}, {2, "SHA1"}, {3, "SHA256"}};
    for (const auto& [algorithm, name] : algorithms) {
        EXPECT_EQ(Output(64,
                         [&](uint8_t* out, uint32_t* length) {
                             return card().CardHash(0, algorithm, data.data(), U32(data.size()), 0,
                                                    out, length, 0);
                         }),
                  host::Digest(name, data))
            << name;
    }
    // With the signer's key file the card hashes as SM2 signing does, so its
    // signature of that hash verifies over the message itself.
    const Bytes hash = Output(32, [&](uint8_t* out, uint32_t* length) {
        return card().CardHash(2, 1, data.data(), U32(data.size()), kSm2Public, out, length, 0);
    });
    ASSERT_EQ(hash.size(), 32u);
    EXPECT_TRUE(host::Sm2VerifyMessage(PublicKey(kSm2Public, 1), data, Sm2Sign(kSm2Private, hash)));
}

TEST_F(KeyCryptoTest, LoadedSm2KeysSignForOpenSsl) {
    for (const uint32_t encrypted : {0u, 1u}) {
        SCOPED_TRACE(encrypted);
        const host::Sm2Pair pair = host::Sm2Generate();
        auto load = [&](uint32_t part, uint16_t file, const Bytes& value) {
            const Bytes sent = encrypted ? host::SecureEncrypt(channel.encKey, value) : value;
            return card().WriteSM2Key(encrypted, part, 0, file, 0, 0, sent.data(), U32(sent.size()),
                                      8, test::ChannelMac, channel.User(), 0);
        };
        ASSERT_EQ(load(1, kSparePrivate, pair.priv), QAV_OK);
        ASSERT_EQ(load(0, kSparePublic, pair.pub), QAV_OK);

        const Bytes digest = Pattern(32, static_cast<uint8_t>(encrypted));
        const Bytes signature = Sm2Sign(kSparePrivate, digest);
        EXPECT_TRUE(host::Sm2Verify(pair.pub, digest, signature));
        const Bytes signed96 = Concat(digest, signature);
        uint32_t none = 0;
        EXPECT_EQ(card().SM2PublicKeyCalc(0, kSparePublic, signed96.data(), 96, nullptr, &none, 0),
                  QAV_OK);
    }
}

TEST_F(KeyCryptoTest, LoadedRsaKeysCalculateForOpenSsl) {
    // The key's own pairs, taken apart on the host from its image (a fresh
    // pair would cost seconds under valgrind) and loaded into the spare files.
    struct Case {
        unsigned bits;
        uint32_t encrypted;
        uint16_t source;
    };
    for (const Case c : {Case{1024, 0, kRsa1024Private}, Case{2048, 1, kRsa2048Private}}) {
        SCOPED_TRACE(c.bits);
        const host::RsaPair pair = host::RsaParts(ImageFile(DefaultImage(), c.source), c.bits);
        const Bytes components[] = {pair.modulus, pair.exponent, pair.p,   pair.q,
                                    pair.dp,      pair.dq,       pair.qinv};
        for (uint32_t component = 0; component < 7; ++component) {
            const Bytes& value = components[component];
            // Components go encrypted at their own length; the exponent stays plain.
            const Bytes sent = c.encrypted && component != 1
                                   ? host::Cipher("SM4-ECB", channel.encKey, {}, value, true)
                                   : value;
            const uint16_t file = component < 2 ? kSparePublic : kSparePrivate;
            ASSERT_EQ(card().WriteRSAKey(c.bits, c.encrypted, component, file, 0, 0, sent.data(),
                                         U32(sent.size()), 8, test::ChannelMac, channel.User(), 0),
                      QAV_OK)
                << component;
        }
        const Bytes input = Concat({0x00}, Pattern(c.bits / 8 - 1, 0x33));
        const Bytes signature = RsaPrivate(c.bits, kSparePrivate, input);
        EXPECT_EQ(H(host::RsaPublicRaw(pair.modulus, pair.exponent, signature)), H(input));
        EXPECT_EQ(H(RsaPublic(c.bits, kSparePublic, input)),
                  H(host::RsaPublicRaw(pair.modulus, pair.exponent, input)));
    }
}

// The check through the export: A = the RSA-2048 container, B = the same
// (its certificate is self-signed), C = the spare SM2 container. What
// passes goes into C's certificate file; A's keys stay as they were.
TEST_F(KeyCryptoTest, CertificateCheckStoresIntoCsCertificateFileAndLeavesAsKeys) {
    constexpr char kA[] = "QAV-RSA2048", kC[] = "QAV-SM2-Spare";
    constexpr uint16_t kCertificateOfA = 0x2003, kCertificateOfC = 0x2004;
    const Bytes certificate = FileNow(kCertificateOfA);
    ASSERT_GT(certificate.size(), 500u);  // pieces of 250 in the second pass
    const Bytes publicOfA = FileNow(kRsa2048Public);
    const Bytes privateOfA = FileNow(kRsa2048Private);

    // Without the PIN the card keeps C's file as it is, and A's too.
    ASSERT_EQ(QAV_ClearSecureState(handle, 0), QAV_OK);
    EXPECT_EQ(
        QAV_VerifyCertData(handle, kA, kA, kC, 1, certificate.data(), U32(certificate.size()), 0),
        0xE0186982u);
    EXPECT_EQ(H(FileNow(kCertificateOfC)), "");
    EXPECT_EQ(H(FileNow(kRsa2048Public)), H(publicOfA));

    VerifyPin(handle);
    ASSERT_EQ(
        QAV_VerifyCertData(handle, kA, kA, kC, 1, certificate.data(), U32(certificate.size()), 0),
        QAV_OK);
    EXPECT_EQ(H(FileNow(kRsa2048Public)), H(publicOfA));
    EXPECT_EQ(H(FileNow(kRsa2048Private)), H(privateOfA));
    // C's certificate reads back through the library.
    uint32_t length = 0;
    ASSERT_EQ(QAV_ReadCert(handle, kC, nullptr, &length, 0), QAV_OK);
    Bytes readBack(length);
    ASSERT_EQ(QAV_ReadCert(handle, kC, readBack.data(), &length, 0), QAV_OK);
    EXPECT_EQ(H(readBack), H(certificate));

    // Under another issuer's key the check fails and nothing is stored.
    const Bytes other = FileNow(0x2002);  // the RSA-1024 container's certificate
    EXPECT_NE(card().VerifyCertData(0, 0, kRsa2048Public, 0, kCertificateOfC, 0, 0, 0, other.data(),
                                    U32(other.size()), 0),
              QAV_OK);
    EXPECT_EQ(H(FileNow(kCertificateOfC)), H(certificate));
    // Nor over a key file, whoever names it as the place to store.
    EXPECT_EQ(card().VerifyCertData(0, 0, kRsa2048Public, 0, kRsa2048Public, 0, 0, 0,
                                    certificate.data(), U32(certificate.size()), 0),
              0xE0186985u);
    EXPECT_EQ(H(FileNow(kRsa2048Public)), H(publicOfA));
}

}  // namespace
}  // namespace qav
