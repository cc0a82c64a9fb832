// ATR, APDU parsing and the T=0 / T=1 answer rules.
#include <atomic>
#include <thread>

#include "card_fixture.h"

namespace vcard_test {
namespace {

const std::string kSelectSeal = "00A4040008A0000004534B4D50";
const std::string kSealControl = "6F0FA5039701028408A0000004534B4D50";

TEST_F(CardTest, DefaultAtrAnnouncesT1WithValidCheckByte) {
    const Bytes atr = card_->Atr();
    EXPECT_EQ(Hex(atr).substr(0, 6), "3B8A01");
    uint8_t check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    EXPECT_EQ(check, 0) << "TCK makes the XOR of T0..TCK zero";
}

TEST_F(CardTest, AtrOptionAndT0AtrReplaceTheDefault) {
    options_.transport = vcard::Transport::T0;
    Rebuild();
    EXPECT_EQ(Hex(card_->Atr()), "3B0A5141565365616C207631");
    options_.atr = Hex("3B7E9600000081503260864320160318161344");
    Rebuild();
    EXPECT_EQ(Hex(card_->Atr()), "3B7E9600000081503260864320160318161344");
}

TEST_F(CardTest, T1AnswersSelectDirectly) {
    EXPECT_EQ(SendHex(kSelectSeal), kSealControl + "9000");
}

TEST_F(CardTest, T0KeepsDataForGetResponseAndHandsItOutInPieces) {
    options_.transport = vcard::Transport::T0;
    Rebuild();
    EXPECT_EQ(SendHex(kSelectSeal), "6111");
    EXPECT_EQ(SendHex("00C0000005"), kSealControl.substr(0, 10) + "610C");
    EXPECT_EQ(SendHex("00C000000C"), kSealControl.substr(10) + "9000");
    EXPECT_EQ(SendHex("00C0000010"), "6985") << "nothing left to fetch";
    // With data and Le (case 4) the Le never reaches a T=0 card.
    EXPECT_EQ(SendHex(kSelectSeal + "00"), "6111");
    EXPECT_EQ(SendHex("00C0000011"), kSealControl + "9000");
}

TEST_F(CardTest, T0AnswersWrongLeWith6CAndServesTheSameAnswerOnce) {
    options_.transport = vcard::Transport::T0;
    Rebuild();
    ASSERT_EQ(Sw(SelectFile(0xA0F3)), 0x610D);
    EXPECT_EQ(SendHex("00B0000000"), "6C04");
    EXPECT_EQ(SendHex("00B0000004"), "000000009000");
    // The final seal-data command is not run twice: the corrected Le gets the
    // digest computed by the first attempt.
    VerifyPin();
    ASSERT_EQ(SendHex("80CC000003616263"), "9000");
    EXPECT_EQ(SendHex("80CC000000"), "6C20");
    EXPECT_EQ(SendHex("80CC000020"), Hex(host::Sm3(Hex("616263"))) + "9000");
}

TEST_F(CardTest, T1ChainsAnswersLongerThan256Bytes) {
    ASSERT_EQ(Sw(Send("80C9600004C002220300")), 0x9000);
    const Bytes first = Send("80C9608000");
    ASSERT_EQ(first.size(), 258u);
    EXPECT_EQ(Hex(Bytes(first.end() - 2, first.end())), "610A");
    EXPECT_EQ(Hex(Bytes(first.begin(), first.begin() + 4)), "C3820100");
    const Bytes rest = Send("00C000000A");
    ASSERT_EQ(rest.size(), 12u);
    EXPECT_EQ(Hex(Bytes(rest.begin() + 4, rest.begin() + 6)), "C904");
    EXPECT_EQ(Sw(rest), 0x9000);
}

TEST_F(CardTest, MalformedAndUnknownCommandsGetIsoStatusWords) {
    EXPECT_EQ(SendHex("00A404"), "6700");
    EXPECT_EQ(SendHex("00A40400050102"), "6700") << "Lc larger than the data";
    EXPECT_EQ(SendHex("A0A4000002 3F00"), "6E00");
    EXPECT_EQ(SendHex("00FF0000"), "6D00");
    EXPECT_EQ(SendHex("80FF0000"), "6D00");
    EXPECT_EQ(SendHex("00A40C0002 3F00"), "6A86");
    EXPECT_EQ(SendHex("00A40400 08A0000004534B4D51"), "6A82");
    EXPECT_EQ(SendHex("0084000006"), "6700");
    EXPECT_EQ(SendHex("00C0000010"), "6985");
}

TEST_F(CardTest, VanishedCardAnswersNothing) {
    options_.vanishAfter = 2;
    Rebuild();
    EXPECT_EQ(Sw(Send(kSelectSeal)), 0x9000);
    EXPECT_EQ(Sw(Send(kSelectSeal)), 0x9000);
    EXPECT_TRUE(Send(kSelectSeal).empty());
    EXPECT_FALSE(card_->Present());
    card_->Reset();
    EXPECT_TRUE(Send(kSelectSeal).empty()) << "a reset does not bring a card back";
}

TEST_F(CardTest, CardThatFailsTheProbeHasNoSealApplication) {
    options_.failProbe = true;
    Rebuild();
    EXPECT_EQ(SendHex(kSelectSeal), "6A82");
    EXPECT_EQ(Sw(SelectFile(0x4000)), 0x6A82);
    EXPECT_EQ(Sw(SelectFile(0x3F00)), 0x9000);
}

}  // namespace
}  // namespace vcard_test

namespace vcard_test {
namespace {

// Two threads on one card: every answer stays whole (no torn GET RESPONSE
// state), and the command count adds up.
TEST_F(CardTest, ConcurrentCallersAreServedOneAfterTheOther) {
    constexpr int kRounds = 300;
    std::atomic<int> bad{0};
    auto worker = [&](const Bytes& command, size_t expectedLength) {
        for (int i = 0; i < kRounds; ++i) {
            const Bytes answer = card_->Transmit(command);
            if (answer.size() != expectedLength + 2 || Sw(answer) != 0x9000) ++bad;
        }
    };
    std::thread a(worker, Hex("0084000010"), 16);
    std::thread b(worker, Hex("00A4040008A0000004534B4D50"), 17);
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(card_->CommandCount(), 2u * kRounds);
}

}  // namespace
}  // namespace vcard_test
