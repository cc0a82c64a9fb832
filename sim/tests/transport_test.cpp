// ATR, APDU parsing and the T=0 / T=1 answer rules.
#include <atomic>
#include <thread>

#include "card_fixture.h"

namespace vcard_test {
namespace {

const std::string kSelectSeal = "00A4040008A0000004534B4D50";
const std::string kSealControl = "6F0FA5039701028408A0000004534B4D50";

TEST_F(CardTest, AtrAnnouncesTheTransportAndTheOptionReplacesIt) {
    const Bytes atr = card_->Atr();
    EXPECT_EQ(Hex(atr).substr(0, 6), "3B8A01");
    uint8_t check = 0;
    for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
    EXPECT_EQ(check, 0) << "TCK makes the XOR of T0..TCK zero";
    options_.transport = vcard::Transport::T0;
    Rebuild();
    EXPECT_EQ(Hex(card_->Atr()), "3B0A5141565365616C207631");
    options_.atr = Hex("3B7E9600000081503260864320160318161344");
    Rebuild();
    EXPECT_EQ(Hex(card_->Atr()), "3B7E9600000081503260864320160318161344");
}

// The library always fetches whole answers; pieces are for other hosts.
TEST_F(CardTest, T0HandsOutKeptDataInPieces) {
    options_.transport = vcard::Transport::T0;
    Rebuild();
    EXPECT_EQ(SendHex(kSelectSeal), "6111");
    EXPECT_EQ(SendHex("00C0000005"), kSealControl.substr(0, 10) + "610C");
    EXPECT_EQ(SendHex("00C000000C"), kSealControl.substr(10) + "9000");
    EXPECT_EQ(SendHex("00C0000010"), "6985") << "nothing left to fetch";
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
}

// The library's probe of such a card is pinned by the virtual-key tests;
// they do not see that the master file stays reachable.
TEST_F(CardTest, CardThatFailsTheProbeStillHasAMasterFile) {
    options_.failProbe = true;
    Rebuild();
    EXPECT_EQ(Sw(SelectFile(0x3F00)), 0x9000);
}

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
