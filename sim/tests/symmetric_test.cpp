// Published vectors for the key's ciphers, and what the key refuses.
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

// The key's refusals; what it computes is compared with OpenSSL through the
// library (virtual-key suite).
TEST_F(CardTest, SessionKeyHashAndTokenRefusals) {
    EXPECT_EQ(SendHex("804A01000AC10800112233445566 7700"), "6A80")
        << "8 bytes for a 16-byte algorithm";
    EXPECT_EQ(SendHex("804A030012C110" + Hex(kSessionKey) + "00"), "6A86")
        << "algorithm 3 does not exist";
    ASSERT_EQ(SendHex("804A010012C110" + Hex(kSessionKey) + "00"), "009000");
    EXPECT_EQ(SendHex("80D8020012"), "6A80") << "stored under another algorithm";
    EXPECT_EQ(SendHex("80D8010312"), "6A88");
    const Bytes wrapped = Send("80D8018004C002220200");
    ASSERT_EQ(Sw(wrapped), 0x9000);
    EXPECT_EQ(Sw(Send(Cmd("804A0183", Hex("C2022102") + Data(wrapped), true))), 0x6982)
        << "private-key use needs the PIN";
    EXPECT_EQ(SendHex("804AFF0100"), "9000");
    EXPECT_EQ(Sw(Send(Cmd("80FA0040", Hex("00000000") + Range(16, 1), true))), 0x6A88);
    EXPECT_EQ(SendHex("804AFF0100"), "6A88");

    EXPECT_EQ(SendHex("803A0601 01"), "009000") << "no token yet";
    EXPECT_EQ(SendHex("802A0901 10"), "6A86");
    ASSERT_EQ(Send("802A0601 10").size(), 18u);
    EXPECT_EQ(SendHex("803A0602 01"), "009000") << "token of another key";
    EXPECT_EQ(Hex(Send(Cmd("803A0601", Range(32, 1)))), "019000");
    EXPECT_EQ(Hex(Send(Cmd("803A0601", Range(32, 1)))), "6985") << "the token is used up";
}

// The signer preprocessing with the key in 2201 or in 3000, which the
// library always names.
TEST_F(CardTest, CardHashInPiecesAndWithSignerPreprocessing) {
    const Bytes data = Range(200, 1);
    auto piece = [&](size_t from, size_t to) {  // C1 element
        return Bytes{0xC1, static_cast<uint8_t>(to - from)} + Range(to - from, data[from]);
    };
    EXPECT_EQ(Hex(Send(Cmd("80C40001", piece(0, 127)))), "9000");
    EXPECT_EQ(Hex(Send(Cmd("80C40301", piece(127, 200), true))), Hex(host::Sm3(data)) + "9000");
    EXPECT_EQ(SendHex("80C4010402C10000"), "6A86") << "hash algorithm 4";

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

}  // namespace
}  // namespace vcard_test
