// The virtual seal key seen through a real pcscd (run under scripts/bench).
#include <gtest/gtest.h>

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
        reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
        ASSERT_TRUE(context_.WaitForCard(reader_, true, 5000)) << "no card in " << reader_;
        link_ = std::make_unique<bench::CardLink>(context_, reader_);
    }
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

}  // namespace
