// The polling readers: which answers start polling, the poll bytes, what
// the caller gets back, and the bound on polls.
#include "reader/reader_variants.h"

#include <gtest/gtest.h>

#include <utility>

#include "qavseal/qavseal.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;
using fake::FromHex;

constexpr char kReader[] = "Zel R  004 identity";
const Bytes kAtr = {0x3B, 0x7F, 0x01};

class ReaderVariantsTest : public test::ServiceTest {
protected:
    void SetUp() override {
        pcsc.AddReader(kReader);
        ASSERT_EQ(master.EstablishContext(0), 0u);
        ASSERT_NO_FATAL_FAILURE(RegisterAtr(kAtr));
    }
    // A card with this script in the reader, connected through the master.
    void Insert(const std::vector<std::pair<const char*, const char*>>& script) {
        auto card = std::make_shared<fake::ScriptedCard>(kAtr);
        for (const auto& [command, answer] : script) card->Expect(command, answer);
        Insert(card);
    }
    void Insert(std::shared_ptr<fake::FakeCard> card) {
        pcsc.InsertCard(kReader, std::move(card));
        ASSERT_EQ(master.Connect(kReader, 0), 0u);
    }
    // The command through a variant: its result; data and status word kept.
    template <class Variant>
    uint32_t Send(const std::string& hex, uint32_t capacity = 64) {
        Variant reader(master);
        const Bytes command = FromHex(hex);
        data.assign(capacity, 0);
        uint32_t length = capacity;
        const uint32_t rc = reader.Transmit(command.data(), static_cast<uint32_t>(command.size()),
                                            data.data(), &length, &sw, 0);
        data.resize(length);
        return rc;
    }

    CReaderPCSC master;
    Bytes data;
    uint32_t sw = 0;
};

TEST_F(ReaderVariantsTest, DongLianPollsAfterF0F2Answered9000AndReturnsTheLastAnswer) {
    Insert({{"F0 F2 01 00 02 AA BB", "11 22 90 00"},
            {"F0 F2 10 00 00", "33 44 80 60"},
            {"F0 F2 10 00 00", "55 66 80 60"},
            {"F0 F2 10 00 00", "77 88 6A 82"},
            {"F0 F2 01 00 00", "6A 80"},
            {"00 A4 00 00 02 3F 00", "90 00"}});
    ASSERT_EQ(Send<CReaderDongLian>("F0 F2 01 00 02 AA BB"), 0u);
    EXPECT_EQ(data, (Bytes{0x77, 0x88}));
    EXPECT_EQ(sw, 0x6A82u);
    EXPECT_EQ(Sleeps(), (std::vector<uint32_t>{1, 1, 1}));
    // Another status, or another command answered 9000, starts no polling.
    ASSERT_EQ(Send<CReaderDongLian>("F0 F2 01 00 00"), 0u);
    EXPECT_EQ(sw, 0x6A80u);
    ASSERT_EQ(Send<CReaderDongLian>("00 A4 00 00 02 3F 00"), 0u);
    EXPECT_EQ(sw, 0x9000u);
    EXPECT_EQ(Sleeps().size(), 3u);
}

TEST_F(ReaderVariantsTest, ZhiFuTongPollsWhileAnswer9600InThePreviousAnswersRoom) {
    Insert({{"00 84 00 00 08", "96 00"},
            {"7E 96 00 00 00", "96 00"},
            {"7E 96 00 00 00", "90 00"},
            {"00 84 00 00 08", "96 00"},
            {"7E 96 00 00 00", "01 02 90 00"}});
    ASSERT_EQ(Send<CReaderZhiFuTong>("00 84 00 00 08"), 0u);
    EXPECT_EQ(sw, 0x9000u);
    EXPECT_EQ(Sleeps().size(), 2u);
    // The poll's room is the previous answer's data length, here none.
    EXPECT_EQ(Send<CReaderZhiFuTong>("00 84 00 00 08"), platform::kScardInsufficientBuffer);
}

// A card that makes the service fail the exchange after its own.
class FailsNextExchange : public fake::FakeCard {
public:
    explicit FailsNextExchange(fake::FakePcsc& pcsc) : pcsc_(pcsc) {}
    Bytes Atr() const override { return kAtr; }
    Bytes Transmit(const Bytes&) override {
        pcsc_.Inject(Call::Transmit, 0x80100016u);  // not transacted: no retry
        return {0x96, 0x00};
    }

private:
    fake::FakePcsc& pcsc_;
};

TEST_F(ReaderVariantsTest, PollErrorEndsTheLoopWithThatError) {
    Insert(std::make_shared<FailsNextExchange>(pcsc));
    EXPECT_EQ(Send<CReaderZhiFuTong>("00 84 00 00 08"), 0x80100016u);
    EXPECT_EQ(sw, 0x9600u);  // what the last good exchange left
}

// Accepts a command, then stays busy for every poll.
class BusyAfterFirst : public fake::FakeCard {
public:
    Bytes Atr() const override { return kAtr; }
    Bytes Transmit(const Bytes&) override {
        return std::exchange(first_, false) ? Bytes{0x90, 0x00} : Bytes{0x80, 0x60};
    }

private:
    bool first_ = true;
};

TEST_F(ReaderVariantsTest, PollsAreBounded) {
    Insert(std::make_shared<fake::FixedCard>(kAtr, Bytes{0x96, 0x00}));
    EXPECT_EQ(Send<CReaderZhiFuTong>("00 84 00 00 08"), 0u);
    EXPECT_EQ(sw, 0x9600u);
    EXPECT_EQ(pcsc.Count(Call::Transmit), static_cast<int>(kMaxReaderPolls) + 1);

    pcsc.RemoveCard(kReader);
    Insert(std::make_shared<BusyAfterFirst>());
    pcsc.ResetCounts();
    EXPECT_EQ(Send<CReaderDongLian>("F0 F2 01 00 00"), 0u);
    EXPECT_EQ(sw, 0x8060u);
    EXPECT_EQ(pcsc.Count(Call::Transmit), static_cast<int>(kMaxReaderPolls) + 1);
}

}  // namespace
}  // namespace qav
