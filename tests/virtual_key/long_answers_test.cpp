// Answers longer than one exchange, on a T=1 and a T=0 key: the key sends
// 256 bytes and a 61xx (T=1: data and 61xx together; T=0 after a command with
// data: 61xx alone, then pieces of 256), and the library keeps every piece.
// Results are checked with OpenSSL and against the key's own image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::FromHex;
using test::kTransports;
using test::WithTransport;

constexpr char kSm2Container[] = "QAV-SM2-Seal";
constexpr char kRsa2048Container[] = "QAV-RSA2048";
constexpr uint16_t kSm2Private = 0x2101, kSm2Public = 0x2201;
constexpr uint16_t kRsa2048Public = 0x2203;
constexpr uint16_t kSparePrivate = 0x2104;

class LongAnswersTest : public test::CryptoTest {
protected:
    void SetUp() override { VirtualKeyTest::SetUp(); }
    // A fresh key on this transport, opened, the PIN verified.
    void Start(vcard::Transport transport) {
        if (handle != 0) {
            ASSERT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
        }
        Insert(WithTransport(transport));
        handle = Open();
        VerifyPin(handle);
    }
    // The RSA-2048 key as its public-key file holds it: modulus || exponent.
    static Bytes Rsa2048PublicFile() { return ImageFile(DefaultImage(), kRsa2048Public); }
    // A raw command through QAV_Transmit with room bytes offered.
    uint32_t Transmit(const std::string& hex, uint8_t* out, uint32_t* length, uint32_t* sw) {
        const Bytes command = FromHex(hex);
        return QAV_Transmit(handle, command.data(), U32(command.size()), out, length, sw, 0);
    }
};

const char* Name(vcard::Transport transport) {
    return transport == vcard::Transport::T0 ? "T=0" : "T=1";
}

// SM2 encryption of the most one command takes: a ciphertext of about 350
// bytes, which the private key opens again.
TEST_F(LongAnswersTest, Sm2EncryptionOfTheLongestInputDecryptsBack) {
    const Bytes message = Pattern(247, 0x31);
    for (const vcard::Transport transport : kTransports) {
        SCOPED_TRACE(Name(transport));
        Start(transport);
        Bytes ciphertext(512);
        auto length = U32(ciphertext.size());
        ASSERT_EQ(QAV_PublicKeyCalc(handle, kSm2Container, 1, message.data(), 247,
                                    ciphertext.data(), &length, 0),
                  QAV_OK);
        ASSERT_GT(length, 256u);
        ciphertext.resize(length);
        // The card's decryption takes one short command, too short for this
        // ciphertext: the host opens it with the key's own pair.
        EXPECT_EQ(H(host::Sm2Decrypt(ImageFile(DefaultImage(), kSm2Private),
                                     ImageFile(DefaultImage(), kSm2Public), ciphertext)),
                  H(message));
    }
}

// A session key wrapped under the RSA-2048 key (a 260-byte answer) and
// under the SM2 key, each opened again by the card's private key.
TEST_F(LongAnswersTest, SessionKeysExportWrappedUnderRsa2048AndSm2) {
    const Bytes sessionKey = Pattern(16, 0x44);
    for (const vcard::Transport transport : kTransports) {
        SCOPED_TRACE(Name(transport));
        Start(transport);
        QAV_SessionKey* imported = nullptr;
        ASSERT_EQ(QAV_ImportSessionKey(handle, 1, sessionKey.data(), 16, nullptr, &imported, 0),
                  QAV_OK);
        for (const char* container : {kRsa2048Container, kSm2Container}) {
            SCOPED_TRACE(container);
            Bytes wrapped(512);
            auto length = U32(wrapped.size());
            ASSERT_EQ(QAV_ExportSessionKey(handle, imported, container, wrapped.data(), &length, 0),
                      QAV_OK);
            wrapped.resize(length);
            if (std::string(container) == kRsa2048Container) {
                EXPECT_EQ(length, 256u);
            }
            Bytes opened(256);
            length = U32(opened.size());
            ASSERT_EQ(QAV_PrivateKeyCalc(handle, container, 0, wrapped.data(), U32(wrapped.size()),
                                         opened.data(), &length, 0),
                      QAV_OK);
            opened.resize(length);
            EXPECT_EQ(H(opened), H(sessionKey));
        }
    }
}

// The RSA-2048 key's second export step answers 266 bytes (C3 82 01 00, the
// modulus, C9 04, the exponent). QAV_Transmit hands it out whole, or, when it
// does not fit, nothing but its length.
TEST_F(LongAnswersTest, TransmitHandsOutA266ByteAnswerWholeOrNotAtAll) {
    const Bytes file = Rsa2048PublicFile();
    ASSERT_EQ(file.size(), 260u);
    Bytes expected = FromHex("C3 82 01 00");
    expected.insert(expected.end(), file.begin(), file.end() - 4);
    expected.insert(expected.end(), {0xC9, 0x04});
    expected.insert(expected.end(), file.end() - 4, file.end());
    for (const vcard::Transport transport : kTransports) {
        SCOPED_TRACE(Name(transport));
        Start(transport);
        Bytes answer(QAV_MAX_ANSWER_LENGTH);
        auto length = U32(answer.size());
        uint32_t sw = 0;
        ASSERT_EQ(Transmit("80 C9 60 00 04 C0 02 22 03 00", answer.data(), &length, &sw), QAV_OK);
        ASSERT_EQ(sw, 0x9000u);

        Bytes small(256, 0xEE);
        length = U32(small.size());
        EXPECT_EQ(Transmit("80 C9 60 80 00", small.data(), &length, &sw), QAV_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, 266u);
        EXPECT_EQ(small, Bytes(256, 0xEE)) << "nothing copied";
        length = 0;
        EXPECT_EQ(Transmit("80 C9 60 80 00", nullptr, &length, &sw), QAV_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, 266u);

        Bytes exact(266);
        length = U32(exact.size());
        ASSERT_EQ(Transmit("80 C9 60 80 00", exact.data(), &length, &sw), QAV_OK);
        EXPECT_EQ(length, 266u);
        EXPECT_EQ(sw, 0x9000u);
        EXPECT_EQ(H(exact), H(expected));
    }
}

// The card operations whose RSA-2048 answers used to be cut: the public-key
// export, and a key pair generated with its public key handed back.
TEST_F(LongAnswersTest, Rsa2048PublicKeysComeBackWhole) {
    for (const vcard::Transport transport : kTransports) {
        SCOPED_TRACE(Name(transport));
        Start(transport);
        Bytes first(64);
        auto firstLength = U32(first.size());
        Bytes exported(300);
        auto keyLength = U32(exported.size());
        ASSERT_EQ(card().ExportPublicKey(0, kRsa2048Public, 0, 0, 0, 0, exported.data(), &keyLength,
                                         first.data(), &firstLength, 0),
                  QAV_OK);
        exported.resize(keyLength);
        EXPECT_EQ(H(exported), H(Rsa2048PublicFile()));

        Bytes generated(260);
        keyLength = U32(generated.size());
        ASSERT_EQ(card().GenRSAKeyPair(2048, kSparePrivate, 0, generated.data(), &keyLength, 0),
                  QAV_OK);
        ASSERT_EQ(keyLength, 260u);
        // The key handed back is the one the new private key belongs to.
        const Bytes modulus(generated.begin(), generated.end() - 4);
        const Bytes exponent(generated.end() - 4, generated.end());
        Bytes input = Pattern(256, 0x12);
        input[0] = 0x01;
        Bytes signature(256);
        auto length = U32(signature.size());
        ASSERT_EQ(card().RSAPrivateKeyCalc(2048, kSparePrivate, input.data(), 256, signature.data(),
                                           &length, 0),
                  QAV_OK);
        signature.resize(length);
        EXPECT_EQ(H(host::RsaPublicRaw(modulus, exponent, signature)), H(input));
    }
}

}  // namespace
}  // namespace qav
