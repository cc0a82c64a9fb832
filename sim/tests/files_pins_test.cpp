// The seal application's files, access rules, secured writes, PINs and
// authentication.
#include "card_fixture.h"

namespace vcard_test {
namespace {

TEST_F(CardTest, ContainerTableHoldsFourRecordsWithFileIdentifiersLowByteFirst) {
    EXPECT_EQ(Hex(ReadFile(0x3001, 1)), "049000");
    const Bytes table = ReadFile(0x0FFF, 240);
    ASSERT_EQ(Sw(table), 0x9000);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(table.data())), "QAV-SM2-Seal");
    EXPECT_EQ(table[41], 0x04);
    EXPECT_EQ(Hex(Bytes(table.begin() + 48, table.begin() + 54)), "012001210122");
    const uint8_t* rsa2048 = table.data() + 120;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rsa2048)), "QAV-RSA2048");
    EXPECT_EQ(rsa2048[41], 0x02);
    EXPECT_EQ(Hex(Bytes(rsa2048 + 48, rsa2048 + 54)), "032003210322");
}

TEST_F(CardTest, AbilityFileHasSixtyFourBytesHighByteFirst) {
    const Bytes ability = ReadFile(0x4000, 64);
    ASSERT_EQ(ability.size(), 66u);
    EXPECT_EQ(Hex(Bytes(ability.begin(), ability.begin() + 2)), "0102");
    EXPECT_EQ(Hex(Bytes(ability.begin() + 17, ability.begin() + 19)), "0800");
    EXPECT_EQ(SendHex("00D600000101"), "6982") << "ability data is read-only";
}

TEST_F(CardTest, PinChangeMarkerNeedsThePinToWrite) {
    ASSERT_EQ(Sw(SelectFile(0x1011)), 0x9000);
    EXPECT_EQ(SendHex("00B003E701"), "009000");
    EXPECT_EQ(SendHex("00D603E70101"), "6982");
    VerifyPin();
    EXPECT_EQ(SendHex("00D603E70101"), "9000");
    EXPECT_EQ(SendHex("00B003E701"), "019000");
    EXPECT_EQ(SendHex("00B0040001"), "6B00") << "1024-byte file";
}

TEST_F(CardTest, PrivateKeysNeverLeaveAndReadsNeedACurrentFile) {
    VerifyPin();
    EXPECT_EQ(Sw(ReadFile(0x2101, 32)), 0x6982);
    ASSERT_EQ(Sw(Send("00A4040008A0000004534B4D50")), 0x9000);
    EXPECT_EQ(SendHex("00B0000001"), "6986");
    EXPECT_EQ(Sw(SelectFile(0x9999)), 0x6A82);
}

TEST_F(CardTest, SelectionByChildAndMasterFile) {
    EXPECT_EQ(Sw(Send("00A4020002A0F3")), 0x9000);
    EXPECT_EQ(SendHex("00B0000004"), "000000009000");
    ASSERT_EQ(Sw(SelectFile(0x3F00)), 0x9000);
    EXPECT_EQ(Sw(SelectFile(0x4000)), 0x6A82) << "4000 exists only inside the application";
    EXPECT_EQ(Sw(SelectFile(0x2F02)), 0x9000);
}

TEST_F(CardTest, SecuredUpdateChecksMacAndDecryptsThePiece) {
    ASSERT_EQ(Sw(SelectFile(0xA0F3)), 0x9000);
    const Bytes piece = Hex("CAFEBABE");
    const Bytes plain = Hex("04") + piece;
    const Bytes cryptogram = host::SecureEncrypt(kEncKey, plain);

    Bytes challenge = Challenge(8);
    Bytes command = Secured(Hex("04D60000"), cryptogram, challenge);
    EXPECT_EQ(Hex(Send(command)), "9000") << "secured writes need no PIN";
    EXPECT_EQ(SendHex("00B0000004"), "CAFEBABE9000");
    EXPECT_EQ(Hex(Send(command)), "6985") << "the challenge is used up";

    challenge = Challenge(4);
    command = Secured(Hex("04D60000"), cryptogram, challenge);
    command.back() ^= 0x01;
    EXPECT_EQ(Hex(Send(command)), "6988");
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

TEST_F(CardTest, SecurityStateEndsWithResetCommandSelectionAndCardReset) {
    const std::string sign = "80CD000126C0022101C320" + std::string(64, '1');
    VerifyPin();
    EXPECT_EQ(Sw(Send(sign)), 0x9000);
    EXPECT_EQ(SendHex("004A000000"), "9000");
    EXPECT_EQ(Sw(Send(sign)), 0x6982);
    VerifyPin();
    ASSERT_EQ(Sw(Send("00A4040008A0000004534B4D50")), 0x9000);
    EXPECT_EQ(Sw(Send(sign)), 0x6982);
    VerifyPin();
    card_->Reset();
    EXPECT_EQ(Sw(Send(sign)), 0x6982);
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
    EXPECT_EQ(Hex(Send(Secured(Hex("845E0000"), Hex("021122"), challenge))), "9000");
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
    Bytes command = Hex("0082000110");
    const Bytes wrong(16, 0x00);
    command.insert(command.end(), wrong.begin(), wrong.end());
    EXPECT_EQ(Hex(Send(command)), "6985") << "no challenge asked for";
    Challenge(8);
    EXPECT_EQ(Hex(Send(command)), "63C4");
    Bytes challenge;
    challenge = Challenge(8);
    challenge.resize(16, 0);
    command = Hex("0082000110");
    const Bytes cryptogram = host::Sm4Ecb(key, challenge);
    command.insert(command.end(), cryptogram.begin(), cryptogram.end());
    EXPECT_EQ(Hex(Send(command)), "9000");
    EXPECT_EQ(SendHex("801A0601080102030405060708"), "9000");
    EXPECT_EQ(SendHex("801A06010C010203040506070809101112"), "6700");
}

TEST_F(CardTest, InternalAuthenticationEncryptsWithTheKeyOfP2) {
    const Bytes data = Hex("000102030405060708090A0B0C0D0E0F");
    const Bytes expected = host::Sm4Ecb(Hex("505152535455565758595A5B5C5D5E5F"), data);
    EXPECT_EQ(SendHex("0088000110000102030405060708090A0B0C0D0E0F"), Hex(expected) + "9000");
    EXPECT_EQ(SendHex("0088000210000102030405060708090A0B0C0D0E0F"), "6A88");
    EXPECT_EQ(SendHex("00880001020001"), "6700");
}

TEST_F(CardTest, PaymentApplicationsAndTrackRecord) {
    EXPECT_EQ(SendHex("00B2010C00"), "6985") << "no payment application selected";
    EXPECT_EQ(Sw(Send("00A404000E315041592E5359532E4444463031")), 0x9000);
    EXPECT_EQ(Sw(Send("00A4040008A000000333010106")), 0x6A82);
    EXPECT_EQ(Sw(Send("00A4040008A000000333010102")), 0x9000);
    EXPECT_EQ(SendHex("00B2010C00"), "6C15");
    EXPECT_EQ(SendHex("00B2010C15"), "701357116225880012345678D2512201000000000F9000");
}

TEST_F(CardTest, PaymentSelectionCanDemandLe) {
    options_.paymentNeedsLe = true;
    Rebuild();
    EXPECT_EQ(SendHex("00A404000E325041592E5359532E4444463031"), "6700");
    EXPECT_EQ(Sw(Send("00A404000E325041592E5359532E444446303100")), 0x9000);
}

}  // namespace
}  // namespace vcard_test
