// The PC/SC reader against the fake service: transmit, the retry rule,
// connection with probe and registration.
#include "reader/reader_pcsc.h"

#include <gtest/gtest.h>

#include "qavseal/qavseal.h"
#include "reader/card_database.h"
#include "support/known_commands.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;
using fake::FromHex;

constexpr char kSealReader[] = "ADM Virtual Seal 00 00";
const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

class ReaderPcscTest : public test::ServiceTest {
protected:
    void SetUp() override {
        pcsc.AddReader(kSealReader);
        ASSERT_EQ(reader.EstablishContext(0), 0u);
    }
    // A card that is already registered, so Connect sends no probe.
    std::shared_ptr<fake::ScriptedCard> InsertRegistered(uint32_t protocol = kProtocolT1) {
        auto card = std::make_shared<fake::ScriptedCard>(kAtr, protocol);
        pcsc.InsertCard(kSealReader, card);
        RegisterAtr(kAtr);
        return card;
    }
    uint32_t Send(const std::string& hex, Bytes* data, uint32_t capacity, uint32_t* sw) {
        const Bytes command = FromHex(hex);
        data->assign(capacity, 0);
        uint32_t length = capacity;
        const uint32_t rc = reader.Transmit(command.data(), static_cast<uint32_t>(command.size()),
                                            data->data(), &length, sw, 0);
        if (rc == 0) data->resize(length);
        return rc;
    }
    // A registered card connected, that expects the challenge `times` times.
    std::shared_ptr<fake::ScriptedCard> Connected(int times = 0) {
        auto card = InsertRegistered();
        for (int i = 0; i < times; ++i) card->Expect("00 84 00 00 04", "01 02 03 04 90 00");
        EXPECT_EQ(reader.Connect(kSealReader, 0), 0u);
        pcsc.ResetCounts();
        return card;
    }
    // GET CHALLENGE of four bytes; its status word in *sw.
    uint32_t Challenge(uint32_t* sw = nullptr) {
        Bytes data;
        uint32_t word = sw != nullptr ? *sw : 0;
        const uint32_t rc = Send("00 84 00 00 04", &data, 255, &word);
        if (sw != nullptr) *sw = word;
        return rc;
    }

    CReaderPCSC reader;
};

TEST_F(ReaderPcscTest, TransmitSplitsDataAndStatusWordWithinTheRoom) {
    auto card = Connected();
    card->Expect("00 B0 00 00 0A", "00 01 02 03 04 05 06 07 08 09 90 00")
        .Expect("00 B0 00 00 0B", "00 01 02 03 04 05 06 07 08 09 0A 90 00")
        .Expect("00 84 00 00 04", "90");
    Bytes data;
    uint32_t sw = 0;
    EXPECT_EQ(Send("00 B0 00 00 0A", &data, 10, &sw), 0u);
    EXPECT_EQ(data, FromHex("00 01 02 03 04 05 06 07 08 09"));
    EXPECT_EQ(sw, 0x9000u);
    EXPECT_EQ(reader.ActiveProtocol(), kProtocolT1);
    // One byte more than the room: the service's own error, unchanged.
    EXPECT_EQ(Send("00 B0 00 00 0B", &data, 10, &sw), platform::kScardInsufficientBuffer);
    sw = 0xFFFF;
    EXPECT_EQ(Challenge(&sw), QAV_E_UNEXPECTED_DATA);  // no status word
    EXPECT_EQ(sw, 0xFFFFu);
}

TEST_F(ReaderPcscTest, TransmitChecksPointersFirstAndSizesWithoutBuffer) {
    auto card = Connected();
    card->Expect("00 84 00 00 08", "90 00");
    const Bytes command = FromHex("00 84 00 00 08");
    uint32_t length = 0;
    uint32_t sw = 0;
    EXPECT_EQ(reader.Transmit(nullptr, 5, nullptr, &length, &sw, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Transmit(command.data(), 5, nullptr, nullptr, &sw, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Transmit(command.data(), 5, nullptr, &length, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(pcsc.Count(Call::Transmit), 0);
    length = 99;
    ASSERT_EQ(reader.Transmit(command.data(), 5, nullptr, &length, &sw, 0), 0u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(sw, 0x9000u);
}

TEST_F(ReaderPcscTest, LostContextRecoversByNewContextReconnectAndPause) {
    Connected(1);
    pcsc.DropAllContexts();  // the daemon restarted: old context and handle are stale
    uint32_t sw = 0;
    ASSERT_EQ(Challenge(&sw), 0u);
    EXPECT_EQ(sw, 0x9000u);
    for (const Call call :
         {Call::ReleaseContext, Call::EstablishContext, Call::Disconnect, Call::Connect}) {
        EXPECT_EQ(pcsc.Count(call), 1) << static_cast<int>(call);
    }
    EXPECT_EQ(pcsc.Count(Call::Transmit), 2);
    EXPECT_EQ(Sleeps(), (std::vector<uint32_t>{100}));
    EXPECT_EQ(pcsc.OpenContexts(), 1u);
}

// Which service errors a transmit retries, how, and when it gives up.
TEST_F(ReaderPcscTest, TransmitRetryRule) {
    struct Case {
        std::vector<uint32_t> injected;
        uint32_t rc;
        int transmits, reconnects;
        size_t sleeps;
    };
    const std::vector<uint32_t> fiftyLost(60, fake::kServiceGone);
    const Case cases[] = {
        // Lost contexts: a new one and a pause each, none after the last try.
        {{fake::kServiceCutOff, platform::kScardInvalidHandle}, 0, 3, 0, 2},
        // Reset or removed: reconnect and repeat at once.
        {{platform::kScardResetCard, platform::kScardRemovedCard}, 0, 3, 2, 0},
        // A client/daemon version mismatch is not retried.
        {{platform::kScardServiceStopped}, platform::kScardServiceStopped, 1, 0, 0},
        {fiftyLost, fake::kServiceGone, 50, 0, 49},  // last: ten stay injected
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        Connected(c.rc == 0 ? 1 : 0);
        for (const uint32_t error : c.injected) pcsc.Inject(Call::Transmit, error);
        const size_t sleepsBefore = Sleeps().size();
        EXPECT_EQ(Challenge(), c.rc) << "case " << i;
        EXPECT_EQ(pcsc.Count(Call::Transmit), c.transmits) << "case " << i;
        EXPECT_EQ(pcsc.Count(Call::Reconnect), c.reconnects) << "case " << i;
        EXPECT_EQ(Sleeps().size() - sleepsBefore, c.sleeps) << "case " << i;
        EXPECT_EQ(pcsc.OpenContexts(), 1u) << "case " << i;
        reader.Disconnect(0);
    }
}

TEST_F(ReaderPcscTest, CardGoneForGoodEndsAfterFiftyAttempts) {
    Connected();
    pcsc.RemoveCard(kSealReader);
    EXPECT_EQ(Challenge(), platform::kScardRemovedCard);
    EXPECT_EQ(pcsc.Count(Call::Transmit), 50);
    EXPECT_TRUE(Sleeps().empty());

    // A card that answers nothing has left the reader too.
    auto mute = std::make_shared<fake::FixedCard>(kAtr, Bytes{});
    pcsc.InsertCard(kSealReader, mute);
    pcsc.ResetCounts();
    EXPECT_EQ(Challenge(), platform::kScardRemovedCard);
    EXPECT_EQ(mute->commands.size(), 1u);
    EXPECT_EQ(pcsc.Count(Call::Transmit), 50);
    uint8_t atr[64];
    uint32_t atrLength = sizeof atr;
    ASSERT_EQ(reader.GetReaderATR(kSealReader, atr, &atrLength, 0), 0u);
    EXPECT_EQ(atrLength, 0u);
}

TEST_F(ReaderPcscTest, TransactionsRunUnderTheReconnectingRule) {
    Connected();
    pcsc.Inject(Call::BeginTransaction, platform::kScardResetCard);
    EXPECT_EQ(reader.BeginTransaction(0, 0), 0u);
    EXPECT_EQ(pcsc.Count(Call::BeginTransaction), 2);
    // The transaction went with the lost context: the repeated end, on the
    // new connection, finds none.
    pcsc.DropAllContexts();
    EXPECT_EQ(reader.EndTransaction(0), 0x80100016u);  // not transacted
    EXPECT_EQ(pcsc.Count(Call::EndTransaction), 2);
    EXPECT_EQ(Sleeps().size(), 1u);
}

TEST_F(ReaderPcscTest, FailedProbeDisconnectsAndRegistersNothing) {
    auto card = std::make_shared<fake::ScriptedCard>(kAtr);
    card->Expect(test::kSelectSeal, "6A 82");
    pcsc.InsertCard(kSealReader, card);
    EXPECT_EQ(reader.Connect(kSealReader, 0), QAV_E_NO_DEVICE);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);
    EXPECT_EQ(IsCardRegistered(kAtr.data(), 4), 0u);
}

// A card whose ATR changes once it has been selected (it reset itself).
class ChangingAtrCard : public fake::FakeCard {
public:
    Bytes Atr() const override { return selected_ ? Bytes{0x3B, 0x99} : kAtr; }
    Bytes Transmit(const Bytes&) override {
        selected_ = true;
        return {0x90, 0x00};
    }

private:
    bool selected_ = false;
};

TEST_F(ReaderPcscTest, AtrChangedDuringProbeIsNoDeviceAndStaysConnected) {
    pcsc.InsertCard(kSealReader, std::make_shared<ChangingAtrCard>());
    EXPECT_EQ(reader.Connect(kSealReader, 0), QAV_E_NO_DEVICE);
    EXPECT_EQ(pcsc.OpenHandles(), 1u);
    EXPECT_EQ(IsCardRegistered(kAtr.data(), 4), 0u);
}

TEST_F(ReaderPcscTest, RefusedConnectionStillRegistersTheCard) {
    pcsc.InsertCard(kSealReader, std::make_shared<fake::ScriptedCard>(kAtr));
    pcsc.RefuseConnections(kSealReader, true);
    EXPECT_EQ(reader.Connect(kSealReader, 0), 0u);
    EXPECT_EQ(IsCardRegistered(kAtr.data(), 4), 1u);
    EXPECT_TRUE(pcsc.SentCommands().empty());
}

TEST_F(ReaderPcscTest, ReaderAtrSizeRules) {
    InsertRegistered();
    uint32_t length = 0;
    EXPECT_EQ(reader.GetReaderATR(nullptr, nullptr, &length, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.GetReaderATR(kSealReader, nullptr, nullptr, 0), QAV_E_NULL_POINTER);
    ASSERT_EQ(reader.GetReaderATR(kSealReader, nullptr, &length, 0), 0u);
    EXPECT_EQ(length, 4u);
    uint8_t atr[36] = {};
    length = 3;
    EXPECT_EQ(reader.GetReaderATR(kSealReader, atr, &length, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(atr[0], 0);
    length = sizeof atr;
    ASSERT_EQ(reader.GetReaderATR(kSealReader, atr, &length, 0), 0u);
    EXPECT_EQ(Bytes(atr, atr + length), kAtr);
}

TEST_F(ReaderPcscTest, CopySharesContextAndHandleAndOwnsNeither) {
    Connected()->Expect("00 84 00 00 04", "90 00");
    {
        CReaderPCSC copy(reader);
        const Bytes command = FromHex("00 84 00 00 04");
        uint32_t length = 0;
        uint32_t sw = 0;
        ASSERT_EQ(copy.Transmit(command.data(), 5, nullptr, &length, &sw, 0), 0u);
        EXPECT_STREQ(copy.ReaderName(), kSealReader);
        EXPECT_EQ(copy.RejectedAtrCount(), 0u);
    }
    EXPECT_EQ(pcsc.OpenHandles(), 1u);
    EXPECT_EQ(pcsc.OpenContexts(), 1u);
}

// The names the factory's reader classes do not show (those are pinned by
// the identity device's test).
TEST(ReaderKindTest, ShortEmptyAndOtherNames) {
    EXPECT_EQ(ClassifyReader("Zel R  00"), ReaderKind::kZelOther);  // too short for a code
    EXPECT_EQ(ClassifyReader("Zel R  999"), ReaderKind::kZelOther);
    EXPECT_EQ(ClassifyReader("ADM Virtual Seal 00 00"), ReaderKind::kGeneric);
    EXPECT_EQ(ClassifyReader(""), ReaderKind::kGeneric);
    EXPECT_EQ(ClassifyReader(nullptr), ReaderKind::kGeneric);
}

}  // namespace
}  // namespace qav
