// The seal card's own commands against the virtual key, each result checked
// with OpenSSL on the host: the cipher command with the card's key and with a
// carried one, its MAC, internal authentication, application-key export, and a
// session key derived from a delivered key and a token.
#include <gtest/gtest.h>

#include "crypto_fixture.h"

namespace qav {
namespace {

using fake::Bytes;

// The default key's secrets, as its README gives them.
const Bytes kInternalKey1 = host::Hex("505152535455565758595A5B5C5D5E5F");
const Bytes kExternalKey1 = host::Hex("404142434445464748494A4B4C4D4E4F");

uint32_t QAV_CALLBACK ExternalCryptogram(const uint8_t* challenge, uint32_t challengeLength,
                                         uint8_t* out, uint32_t* outLength, uintptr_t, uintptr_t) {
    Bytes block(challenge, challenge + challengeLength);
    block.resize(16, 0x00);
    const Bytes cryptogram = host::Sm4Ecb(kExternalKey1, block);
    std::copy(cryptogram.begin(), cryptogram.end(), out);
    *outLength = static_cast<uint32_t>(cryptogram.size());
    return QAV_OK;
}

using SealCryptoTest = test::CryptoTest;

TEST_F(SealCryptoTest, CipherAndKeyCommandsEqualOpenSsl) {
    const Bytes data = Pattern(480, 0x2C);  // three pieces: 224, 224, 32
    const Bytes carriedKey = Pattern(16, 0xA0);
    const Bytes iv = Pattern(16, 0x0B);
    auto cipherData = [&](uint32_t direction, uint32_t operation, const Bytes& withIv,
                          const Bytes& withKey, const Bytes& in) {
        return Output(in.size(), [&](uint8_t* out, uint32_t* length) {
            return card().CipherData(
                0, direction, operation, withIv.empty() ? nullptr : withIv.data(),
                U32(withIv.size()), withKey.empty() ? nullptr : withKey.data(), U32(withKey.size()),
                withKey.empty() ? 0 : 1, in.data(), U32(in.size()), out, length, 0);
        });
    };
    EXPECT_EQ(H(cipherData(1, 0, {}, {}, data)),
              H(host::Cipher("SM4-ECB", test::kCardCipherKey, {}, data, true)));
    EXPECT_EQ(
        H(cipherData(0, 0, iv, carriedKey, host::Cipher("SM4-CBC", carriedKey, iv, data, true))),
        H(data));
    const Bytes cbc = host::Cipher("SM4-CBC", carriedKey, Bytes(16, 0), data, true);
    EXPECT_EQ(H(cipherData(1, 1, {}, carriedKey, data)), H(Bytes(cbc.end() - 16, cbc.end() - 12)));

    const Bytes challenge = Pattern(16, 0x61);
    EXPECT_EQ(H(Output(16,
                       [&](uint8_t* out, uint32_t* length) {
                           return card().InternalAuth(1, challenge.data(), 16, out, length, 0);
                       })),
              H(host::Sm4Ecb(kInternalKey1, challenge)));

    // Application key 2 is bytes 80..8F, leaving the card under the cryptogram key.
    Bytes appKey2(16);
    for (size_t i = 0; i < 16; ++i) appKey2[i] = static_cast<uint8_t>(0x80 + i);
    EXPECT_EQ(
        H(Output(16, [&](uint8_t* out,
                         uint32_t* length) { return card().ExportAppAuthKey(2, out, length, 0); })),
        H(host::Sm4Ecb(channel.encKey, appKey2)));

    // A session key derived from a delivered key and a token: SM3 of key,
    // token and the caller's data, its first 16 bytes as session key 5.
    uint32_t tries = 0;
    ASSERT_EQ(card().ExternalAuth(1, 8, ExternalCryptogram, &tries, 0, 0), QAV_OK);
    const Bytes delivered = Pattern(16, 0xD0);
    ASSERT_EQ(card().DeliveryKey(0x26, 0x01, delivered.data(), 16, 0), QAV_OK);
    const Bytes token = Output(16, [&](uint8_t* out, uint32_t* length) {
        return card().GenerateToken1(0x26, 0x01, out, length, 0);
    });
    const Bytes extra = Pattern(32, 0xE0);
    ASSERT_EQ(card().GenerateSK(0x26, 0x01, extra.data(), 32, 0), QAV_OK);
    const Bytes digest = host::Sm3(Concat(Concat(delivered, token), extra));
    const Bytes sessionKey(digest.begin(), digest.begin() + 16);
    EXPECT_EQ(H(SessionCipher(0, 5, {}, data)),
              H(host::Cipher("SM4-ECB", sessionKey, {}, data, true)));
    // The card's fixed cipher key under its fixed index.
    EXPECT_EQ(H(SessionCipher(0, 6, {}, data)),
              H(host::Cipher("SM4-ECB", test::kCardCipherKey, {}, data, true)));
}

}  // namespace
}  // namespace qav
