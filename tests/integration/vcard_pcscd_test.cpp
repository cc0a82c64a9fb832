// The virtual seal key seen through a real pcscd (run under scripts/bench).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "host_crypto.h"
#include "pcsc_link.h"

namespace {

using bench::Body;
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

TEST_F(VirtualKey, ReaderIsListedUnderItsBenchName) {
    const auto readers = context_.Readers();
    EXPECT_NE(std::find(readers.begin(), readers.end(), reader_), readers.end());
    const Bytes atr = link_->Atr();
    ASSERT_GE(atr.size(), 2u);
    EXPECT_EQ(atr[0], 0x3B);
}

TEST_F(VirtualKey, SealApplicationAnswersAbilityInControlInformation) {
    const Bytes raw = link_->Raw(kSelectSeal);
    if (T0()) {
        ASSERT_EQ(raw.size(), 2u);
        EXPECT_EQ(raw[0], 0x61);
    } else {
        EXPECT_EQ(StatusWord(raw), 0x9000);
    }
    const Bytes answer = link_->Exchange(kSelectSeal);
    ASSERT_EQ(StatusWord(answer), 0x9000);
    // 6F { A5 { 97 01 02 } 84 08 AID }
    EXPECT_EQ(Hex(Body(answer)),
              "6F0FA503970102"
              "8408A0000004534B4D50");
}

TEST_F(VirtualKey, ContainerTableReadsThroughPcscd) {
    ASSERT_EQ(StatusWord(link_->Exchange(kSelectSeal)), 0x9000);
    ASSERT_EQ(StatusWord(Select(0x3001)), 0x9000);
    const Bytes count = link_->Exchange(Hex("00B0000001"));
    ASSERT_EQ(Hex(count), "049000");
    ASSERT_EQ(StatusWord(Select(0x0FFF)), 0x9000);
    const Bytes records = link_->Exchange(Hex("00B00000F0"));
    ASSERT_EQ(StatusWord(records), 0x9000);
    ASSERT_EQ(records.size(), 242u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(records.data())), "QAV-SM2-Seal");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(records.data() + 60)), "QAV-RSA1024");
}

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

TEST_F(VirtualKey, SealSignatureVerifiesOnTheHostWithTheExportedKey) {
    ASSERT_EQ(StatusWord(link_->Exchange(kSelectSeal)), 0x9000);
    const Bytes hash = host::Sm3(Hex("5365616C206F6E2061207465737420646F63756D656E74"));
    Bytes sign = Hex("80CD000126C0022101C320");
    sign.insert(sign.end(), hash.begin(), hash.end());
    EXPECT_EQ(StatusWord(link_->Exchange(sign)), 0x6982) << "signing needs the PIN";
    ASSERT_EQ(Hex(link_->Exchange(Hex("002000000412345678"))), "9000");
    const Bytes signed_ = link_->Exchange(sign);
    ASSERT_EQ(StatusWord(signed_), 0x9000);
    ASSERT_EQ(signed_.size(), 2u + 2u + 64u);
    ASSERT_EQ(Hex(Bytes(signed_.begin(), signed_.begin() + 2)), "C140");
    const Bytes signature(signed_.begin() + 2, signed_.end() - 2);

    const Bytes first = link_->Exchange(Hex("80C9E00004C002210100"));
    ASSERT_EQ(StatusWord(first), 0x9000);
    EXPECT_EQ(first[0], 0xC1);
    const Bytes second = link_->Exchange(Hex("80C9E08000"));
    ASSERT_EQ(StatusWord(second), 0x9000);
    ASSERT_EQ(Hex(Bytes(second.begin(), second.begin() + 2)), "CA40");
    const Bytes pub(second.begin() + 2, second.end() - 2);

    EXPECT_TRUE(host::Sm2Verify(pub, hash, signature));
    Bytes otherHash = hash;
    otherHash[0] ^= 0x01;
    EXPECT_FALSE(host::Sm2Verify(pub, otherHash, signature));
}

TEST_F(VirtualKey, CardLeavesAndReturnsOnTheControlFifo) {
    const std::string control = bench::Env("QAVSEAL_VCARD_CTL");
    if (control.empty()) GTEST_SKIP() << "not run under scripts/bench";
    link_.reset();
    std::ofstream(control) << "remove\n";
    EXPECT_TRUE(context_.WaitForCard(reader_, false, 5000));
    std::ofstream(control) << "insert\n";
    EXPECT_TRUE(context_.WaitForCard(reader_, true, 5000));
    bench::CardLink again(context_, reader_);
    EXPECT_EQ(StatusWord(again.Exchange(kSelectSeal)), 0x9000);
}

TEST_F(VirtualKey, KeyComesBackAfterPcscdRestarts) {
    const std::string restart = bench::Env("QAVSEAL_PCSCD_RESTART");
    if (restart.empty()) GTEST_SKIP() << "not run under scripts/bench";
    ASSERT_EQ(StatusWord(link_->Exchange(kSelectSeal)), 0x9000);
    link_.reset();
    ASSERT_EQ(std::system(restart.c_str()), 0);
    bench::PcscContext fresh;
    ASSERT_TRUE(fresh.WaitForCard(reader_, true, 5000));
    bench::CardLink again(fresh, reader_);
    EXPECT_EQ(StatusWord(again.Exchange(kSelectSeal)), 0x9000);
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
