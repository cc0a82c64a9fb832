// The virtual seal key seen through a real pcscd (run under scripts/bench).
#include <gtest/gtest.h>

#include <fstream>

#include "host_crypto.h"
#include "pcsc_link.h"

namespace {

using bench::Bytes;
using bench::StatusWord;
using host::Hex;

const Bytes kSelectSeal = Hex("00A4040008A0000004534B4D50");

class VirtualKey : public ::testing::Test {
protected:
    void SetUp() override {
        if (bench::Env("QAVSEAL_TEST_KEY") == "vanish" && !Vanishing())
            GTEST_SKIP() << "the card of this bench vanishes";
        reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
        ASSERT_TRUE(context_.WaitForCard(reader_, true, 5000)) << "no card in " << reader_;
        link_ = std::make_unique<bench::CardLink>(context_, reader_);
    }
    virtual bool Vanishing() const { return false; }
    bool T0() const { return link_->Protocol() == SCARD_PROTOCOL_T0; }
    Bytes Select(uint16_t fid) {
        return link_->Exchange({0x00, 0xA4, 0x00, 0x00, 0x02, static_cast<uint8_t>(fid >> 8),
                                static_cast<uint8_t>(fid)});
    }

    bench::PcscContext context_;
    std::string reader_;
    std::unique_ptr<bench::CardLink> link_;
};

TEST_F(VirtualKey, WrongLeIsCorrectedOnlyUnderT0) {
    ASSERT_EQ(StatusWord(link_->Exchange(kSelectSeal)), 0x9000);
    ASSERT_EQ(StatusWord(Select(0xA0F3)), 0x9000);
    const Bytes raw = link_->Raw(Hex("00B0000000"));
    if (T0()) {
        EXPECT_EQ(Hex(raw), "6C04");
        EXPECT_EQ(Hex(link_->Raw(Hex("00B0000004"))), "000000009000");
    } else {
        EXPECT_EQ(Hex(raw), "000000009000");
    }
}

class VanishingKey : public VirtualKey {
protected:
    bool Vanishing() const override { return true; }
};

// Bench started with --vcard-args "--vanish-after 3": the fourth command
// finds no card, and the control FIFO brings a fresh insertion back.
TEST_F(VanishingKey, CardVanishesMidSessionAndReturnsOnInsert) {
    if (bench::Env("QAVSEAL_TEST_KEY") != "vanish") GTEST_SKIP() << "needs --vanish-after 3";
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(StatusWord(link_->Raw(kSelectSeal)), 0x9000) << "command " << i + 1;
    // Through vpcd a vanished card shows as an error or as an answer without
    // even a status word, depending on when pcscd notices.
    try {
        EXPECT_EQ(Hex(link_->Raw(kSelectSeal)), "");
    } catch (const std::runtime_error& e) {
        SUCCEED() << e.what();
    }
    EXPECT_TRUE(context_.WaitForCard(reader_, false, 5000));
    link_.reset();
    std::ofstream(bench::Env("QAVSEAL_VCARD_CTL")) << "insert\n";
    ASSERT_TRUE(context_.WaitForCard(reader_, true, 5000));
    bench::CardLink again(context_, reader_);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(StatusWord(again.Raw(kSelectSeal)), 0x9000);
}

}  // namespace
