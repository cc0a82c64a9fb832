// The seal application's files, access rules, secured writes, PINs and
// authentication.
#include "card_fixture.h"

namespace vcard_test {
namespace {

TEST_F(CardTest, AccessRulesSelectionsAndTheCurrentFile) {
    EXPECT_EQ(SendHex("80D8000210"), "6982") << "application-key export needs the PIN";
    VerifyPin();
    EXPECT_EQ(Sw(ReadFile(0x2101, 32)), 0x6982);
    ASSERT_EQ(Sw(SelectFile(0x4000)), 0x9000);
    EXPECT_EQ(SendHex("00D600000101"), "6982") << "ability data is read-only";
    ASSERT_EQ(Sw(Send("00A4040008A0000004534B4D50")), 0x9000);
    EXPECT_EQ(SendHex("00B0000001"), "6986");
    EXPECT_EQ(Sw(Send("00A4020002A0F3")), 0x9000) << "selection as a child";
    EXPECT_EQ(SendHex("00B0000004"), "000000009000");
    ASSERT_EQ(Sw(SelectFile(0x3F00)), 0x9000);
    EXPECT_EQ(Sw(SelectFile(0x2F02)), 0x9000);
}

TEST_F(CardTest, VerifyCountsTriesAndBlocks) {
    EXPECT_EQ(SendHex("0020000000"), "63C6");
    EXPECT_EQ(SendHex("002000000411111111"), "63C5");
    EXPECT_EQ(SendHex("0020000000"), "63C5");
    EXPECT_EQ(SendHex("002000000112"), "6700");
    VerifyPin();
    EXPECT_EQ(SendHex("0020000000"), "9000");
    card_->Reset();
    EXPECT_EQ(SendHex("0020000000"), "63C6") << "a good PIN restores the counter";
    for (int left = 5; left > 0; --left) Send("002000000411111111");
    EXPECT_EQ(SendHex("002000000411111111"), "63C0");
    EXPECT_EQ(SendHex("002000000412345678"), "6983");
    EXPECT_EQ(SendHex("0020000000"), "6983");
}

TEST_F(CardTest, ChangePinTakesOldFfNewAndAcceptsOddLengths) {
    EXPECT_EQ(SendHex("805E01000812345678FF12345F"), "9000");
    EXPECT_EQ(SendHex("002000000412345678"), "63C5");
    EXPECT_EQ(SendHex("002000000312345F"), "9000");
    EXPECT_EQ(SendHex("805E0100050000FF1111"), "63C5") << "wrong old PIN";
    EXPECT_EQ(SendHex("805E0100021234"), "6A80") << "no separator";
    EXPECT_EQ(SendHex("805E010000"), "63C5");
}

TEST_F(CardTest, ReloadUnblocksWithPlainOrEncryptedBlock) {
    for (int i = 0; i < 6; ++i) Send("002000000411111111");
    ASSERT_EQ(SendHex("0020000000"), "6983");

    Bytes challenge = Challenge(8);
    const Bytes plain = Secured(Hex("845E0000"), Hex("021122"), challenge);
    EXPECT_EQ(Hex(Send(plain)), "9000");
    EXPECT_EQ(Hex(Send(plain)), "6985") << "the challenge is used up";
    EXPECT_EQ(SendHex("00200000021122"), "9000");

    challenge = Challenge(16);
    const Bytes cryptogram = host::SecureEncrypt(kEncKey, Hex("03987654"));
    EXPECT_EQ(Hex(Send(Secured(Hex("845E0002"), cryptogram, challenge))), "9000");
    EXPECT_EQ(SendHex("0020000003987654"), "9000");

    challenge = Challenge(8);
    Bytes bad = Secured(Hex("845E0000"), Hex("021122"), challenge);
    bad[6] ^= 0xFF;
    EXPECT_EQ(Hex(Send(bad)), "6988");
}

TEST_F(CardTest, ExternalAuthenticationOpensKeyDeliveryAndCountsFailures) {
    const Bytes key = Hex("404142434445464748494A4B4C4D4E4F");
    EXPECT_EQ(SendHex("801A0601080102030405060708"), "6982");
    const Bytes wrong = Cmd("00820001", Bytes(16, 0x00));
    EXPECT_EQ(Hex(Send(wrong)), "6985") << "no challenge asked for";
    Challenge(8);
    EXPECT_EQ(Hex(Send(wrong)), "63C4");
    Bytes challenge = Challenge(8);
    challenge.resize(16, 0);
    EXPECT_EQ(Hex(Send(Cmd("00820001", host::Sm4Ecb(key, challenge)))), "9000");
    EXPECT_EQ(SendHex("801A0601080102030405060708"), "9000");
    EXPECT_EQ(SendHex("801A06010C010203040506070809101112"), "6700");
}

TEST_F(CardTest, PaymentApplicationHoldsTheTrackRecord) {
    EXPECT_EQ(Sw(Send("00A4040008A000000333010102")), 0x9000);
    EXPECT_EQ(SendHex("00B2010C00"), "6C15");
    EXPECT_EQ(SendHex("00B2010C15"), "701357116225880012345678D2512201000000000F9000");
}

}  // namespace
}  // namespace vcard_test
