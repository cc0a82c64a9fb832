// Session keys and their cipher, card hashing and tokens (the cipher and MAC
// command with the card key is checked through the library).
#include "card_fixture.h"
#include "crypto.h"

namespace vcard_test {
namespace {

const Bytes kSessionKey = Hex("00112233445566778899AABBCCDDEEFF");

// Published vectors: the key and the host both sit on OpenSSL, so a wrong
// mode or algorithm shared by the two would pass every other test here.
TEST(KnownAnswerTest, Sm3AndSm4MatchTheStandardsExamples) {
    const Bytes abc = {'a', 'b', 'c'};
    const Bytes sm3 = Hex("66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0");
    EXPECT_EQ(vcard::Hash(vcard::Digest::Sm3, abc), sm3);
    EXPECT_EQ(host::Sm3(abc), sm3);

    const Bytes key = Hex("0123456789ABCDEFFEDCBA9876543210");
    const Bytes sm4 = Hex("681EDF34D206965E86B3E94F536E4246");
    EXPECT_EQ(vcard::BlockCipher(vcard::Cipher::Sm4, key, {}, key, true), sm4);
    EXPECT_EQ(vcard::BlockCipher(vcard::Cipher::Sm4, key, {}, sm4, false), key);
    EXPECT_EQ(host::Sm4Ecb(key, key), sm4);
}

TEST_F(CardTest, SessionKeyImportCipherAndDelete) {
    EXPECT_EQ(SendHex("804A010012C110" + Hex(kSessionKey) + "00"), "009000") << "first free index";
    EXPECT_EQ(SendHex("804A01000AC10800112233445566 7700"), "6A80")
        << "8 bytes for a 16-byte algorithm";
    EXPECT_EQ(SendHex("804A030012C110" + Hex(kSessionKey) + "00"), "6A86")
        << "algorithm 3 does not exist";

    const Bytes plain = Range(32, 1);
    const Bytes request = Hex("00000000") + plain;
    EXPECT_EQ(Hex(Send(Cmd("80FA0040", request, true))),
              Hex(host::Sm4Ecb(kSessionKey, plain)) + "9000");

    // 416 bytes with an IV in two pieces equal one CBC pass.
    const Bytes iv = Range(16, 0x90);
    const Bytes big = Range(416, 1);
    const Bytes first = Hex("00000000") + iv + Bytes(big.begin(), big.begin() + 208);
    const Bytes part1 = Data(Send(Cmd("80FA0141", first)));
    const Bytes part2 = Data(Send(Cmd("80FA0300", Bytes(big.begin() + 208, big.end()), true)));
    EXPECT_EQ(part1 + part2, host::Sm4Cbc(kSessionKey, iv, big));

    EXPECT_EQ(SendHex("804AFF0100"), "9000");
    EXPECT_EQ(Sw(Send(Cmd("80FA0040", request, true))), 0x6A88);
    EXPECT_EQ(SendHex("804AFF0100"), "6A88");
}

TEST_F(CardTest, SessionKeyExportPlainAndWrappedRoundTrip) {
    ASSERT_EQ(SendHex("804A010012C110" + Hex(kSessionKey) + "00"), "009000");
    EXPECT_EQ(SendHex("80D8010012"), "C110" + Hex(kSessionKey) + "9000");
    EXPECT_EQ(SendHex("80D8020012"), "6A80") << "stored under another algorithm";
    EXPECT_EQ(SendHex("80D8010312"), "6A88");
    // Wrapped under the RSA-1024 container's public key, loaded back wrapped.
    const Bytes wrapped = Send("80D8018004C002220200");
    ASSERT_EQ(Sw(wrapped), 0x9000);
    ASSERT_EQ(Hex(Bytes(wrapped.begin(), wrapped.begin() + 3)), "C18180");
    const Bytes load = Hex("C2022102") + Data(wrapped);
    EXPECT_EQ(Sw(Send(Cmd("804A0183", load, true))), 0x6982) << "private-key use needs the PIN";
    VerifyPin();
    EXPECT_EQ(Hex(Send(Cmd("804A0183", load, true))), "029000");
    EXPECT_EQ(SendHex("80D8010212"), "C110" + Hex(kSessionKey) + "9000");
}

TEST_F(CardTest, CardHashInPiecesAndWithSignerPreprocessing) {
    const Bytes data = Range(200, 1);
    auto piece = [&](size_t from, size_t to) {  // C1 element
        return Bytes{0xC1, static_cast<uint8_t>(to - from)} + Range(to - from, data[from]);
    };
    EXPECT_EQ(Hex(Send(Cmd("80C40001", piece(0, 127)))), "9000");
    EXPECT_EQ(Hex(Send(Cmd("80C40301", piece(127, 200), true))), Hex(host::Sm3(data)) + "9000");
    EXPECT_EQ(Hex(Send(Cmd("80C40103", piece(0, 100), true))),
              Hex(host::Sha256(Bytes(data.begin(), data.begin() + 100))) + "9000");
    EXPECT_EQ(SendHex("80C4010402C10000"), "6A86");

    const Bytes z = Data(Send("80C4410104C002220100"));
    ASSERT_EQ(z.size(), 32u);
    Bytes keyed = Hex("C0022201") + piece(0, 16);
    const Bytes expected = z + Bytes(data.begin(), data.begin() + 16);
    EXPECT_EQ(Hex(Send(Cmd("80C48101", keyed, true))), Hex(host::Sm3(expected)) + "9000");
    // File 3000 holds the same signer key.
    keyed[2] = 0x30;
    keyed[3] = 0x00;
    EXPECT_EQ(Hex(Send(Cmd("80C48101", keyed, true))), Hex(host::Sm3(expected)) + "9000");
}

TEST_F(CardTest, TokenThenSessionKeyGeneration) {
    EXPECT_EQ(SendHex("803A0601 01"), "009000") << "no token yet";
    EXPECT_EQ(SendHex("802A0901 10"), "6A86");
    const Bytes token = Send("802A0601 10");
    ASSERT_EQ(token.size(), 18u);
    EXPECT_EQ(SendHex("803A0602 01"), "009000") << "token of another key";
    EXPECT_EQ(Hex(Send(Cmd("803A0601", Range(32, 1)))), "019000");
    EXPECT_EQ(Hex(Send(Cmd("803A0601", Range(32, 1)))), "6985") << "the token is used up";
}

}  // namespace
}  // namespace vcard_test
