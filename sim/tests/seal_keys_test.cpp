// Refusals, key pairs and public-key export on the key's side; the key's
// RSA results and certificate check are compared with OpenSSL through the
// library (virtual-key suite).
#include "card_fixture.h"

namespace vcard_test {
namespace {

class SealTest : public CardTest {
protected:
    Bytes PublicKeyFile(uint16_t fid, size_t length) {
        const Bytes answer = ReadFile(fid, length);
        EXPECT_EQ(Sw(answer), 0x9000);
        return Data(answer);
    }
};

// Requests the library never makes: its own are pinned by the virtual-key tests.
TEST_F(SealTest, SealCommandsRefuseGapsMissingKeysAndShortHashes) {
    VerifyPin();
    EXPECT_EQ(SendHex("80CC0100 02 0102"), "6A86") << "gap in the seal data";
    EXPECT_EQ(SendHex("80CC000000"), "6985") << "no seal data loaded";
    EXPECT_EQ(Sw(Send(Cmd("80CD0001", Hex("C0022109C320") + Range(32)))), 0x6A82);
    EXPECT_EQ(Sw(Send(Cmd("80CD0001", Hex("C0022101C31F") + Range(31)))), 0x6A80);
    EXPECT_EQ(SendHex("8046C302 02 0102"), "6985") << "a last RSA piece without a first";
    const Bytes challenge = Challenge(4);
    EXPECT_EQ(Hex(Send(Secured(Hex("84C60000"), Hex("C0022204C903010001"), challenge))), "6A80")
        << "an RSA exponent must be 4 bytes";
}

TEST_F(SealTest, PublicKeyExportMatchesTheKeyFilesInTwoSteps) {
    EXPECT_EQ(SendHex("80C9E08000"), "6985") << "second step without the first";
    const Bytes first = Send("80C9E00004C002210100");
    ASSERT_EQ(Sw(first), 0x9000);
    EXPECT_EQ(Hex(Bytes(first.begin(), first.begin() + 5)), "C123020100");
    const Bytes second = Send("80C9E08000");
    ASSERT_EQ(Sw(second), 0x9000);
    EXPECT_EQ(Bytes(second.begin() + 2, second.end() - 2), PublicKeyFile(0x2201, 64));

    EXPECT_EQ(Sw(Send("80C9E00004C002220200")), 0x6985) << "RSA key asked as SM2";
    // RSA-2048: under T=1 the 266-byte answer comes as 256 bytes and 610A.
    const Bytes file = PublicKeyFile(0x2203, 260);
    ASSERT_EQ(Sw(Send("80C9600004C002220300")), 0x9000);
    const Bytes head = Send("80C9608000");
    ASSERT_EQ(head.size(), 258u);
    EXPECT_EQ(Sw(head), 0x610A);
    EXPECT_EQ(Hex(Data(head) + Send("00C000000A")),
              "C3820100" + Hex(Bytes(file.begin(), file.begin() + 256)) + "C904" +
                  Hex(Bytes(file.begin() + 256, file.end())) + "9000");
}

// Generated with a public-key file named, the pair is stored, and the card
// checks its own signatures with that file. (A pair handed back is checked
// with OpenSSL in the virtual-key suite.)
TEST_F(SealTest, GeneratedSm2KeyIsStoredAndVerifiesOnTheCard) {
    EXPECT_EQ(Sw(Send("80400000 08 C0022204C2022104")), 0x6982);
    VerifyPin();
    ASSERT_EQ(SendHex("80400000 08 C0022204C2022104"), "9000");
    const Bytes digest = Range(32, 0x40);
    const Bytes signature = Data(Send(Cmd("804E0000", Hex("C2022104C1820020") + digest, true)));
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_EQ(SendHex("804E0000 0B C2022104C182000300 0102 00"), "6A80") << "sign needs 32 bytes";
    Bytes verify = Hex("C0022204C1820060") + digest + signature;
    EXPECT_EQ(Hex(Send(Cmd("804C0000", verify))), "9000");
    verify.back() ^= 0x01;
    EXPECT_EQ(Hex(Send(Cmd("804C0000", verify))), "6A80");
}

TEST_F(SealTest, RsaKeyGenerationReturnsOrStoresThePublicKey) {
    VerifyPin();
    const Bytes answer = Send(Cmd("80420000", Hex("C0020000C2022104"), true));
    ASSERT_EQ(Sw(answer), 0x9000);
    ASSERT_EQ(answer.size(), 3u + 128u + 6u + 2u);
    EXPECT_EQ(Hex(Bytes(answer.begin(), answer.begin() + 3)), "C38180");
    EXPECT_EQ(SendHex("80420300 08 C0022204C2022104"), "6A86");
    EXPECT_EQ(SendHex("80420100 08 C0022204C2022104"), "9000");
    EXPECT_EQ(PublicKeyFile(0x2204, 164).size(), 164u) << "1280-bit modulus and exponent";
}

TEST_F(SealTest, SecuredSm2KeyLoadNeedsAGoodMac) {
    const Bytes priv = Hex("3945208F7B2144B13F36E38AC6D39F95889393692860B51A42FB81EF4DF7C5B8");
    const Bytes data = Hex("C2022104CB20") + priv;
    Bytes challenge = Challenge(8);
    Bytes command = Secured(Hex("84C20001"), data, challenge);
    command.back() ^= 0x10;
    EXPECT_EQ(Hex(Send(command)), "6988");
    challenge = Challenge(8);
    EXPECT_EQ(Hex(Send(Secured(Hex("84C20001"), data, challenge))), "9000");
    ASSERT_EQ(Sw(Send("80C9E00004C002210400")), 0x9000);
    const Bytes pub = Data(Send("80C9E08000"));
    ASSERT_EQ(pub.size(), 66u);
    VerifyPin();
    const Bytes digest = Range(32);
    const Bytes signature = Data(Send(Cmd("804E0000", Hex("C2022104C1820020") + digest, true)));
    EXPECT_TRUE(host::Sm2Verify(Bytes(pub.begin() + 2, pub.end()), digest, signature));
}

}  // namespace
}  // namespace vcard_test
