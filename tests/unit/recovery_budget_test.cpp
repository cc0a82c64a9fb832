// Recovering from a lost service: one operation's attempts and pauses are
// bounded, a reader gives back only what it made, and a listing never
// touches an open device's connection.
#include <gtest/gtest.h>

#include <cstdlib>
#include <numeric>

#include "platform/pcsc.h"
#include "qavseal/qavseal.h"
#include "reader/reader_pcsc.h"
#include "support/known_commands.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;

const Bytes kOtherAtr = {0x3B, 0x02, 0x14, 0x51};

class RecoveryBudgetTest : public test::OpenDeviceTest {
protected:
    uint32_t Challenge(QAV_HANDLE handle, uint32_t* sw) {
        const uint8_t command[] = {0x00, 0x84, 0x00, 0x00, 0x04};
        uint8_t answer[16];
        uint32_t length = sizeof answer;
        return QAV_Transmit(handle, command, sizeof command, answer, &length, sw, 0);
    }
    static uint32_t PausedMs() { return std::accumulate(Sleeps().begin(), Sleeps().end(), 0u); }
};

TEST_F(RecoveryBudgetTest, ServiceGoneIsReportedWithinOneRuleBudget) {
    const QAV_HANDLE handle = Open();
    pcsc.SetServiceRunning(false);
    pcsc.DropAllContexts();
    uint32_t sw = 0;
    // Why the context could not be made again, not the stale handle's code.
    EXPECT_EQ(Challenge(handle, &sw), platform::kScardNoService);
    // 50 attempts at most, so 49 pauses of 100 ms, not 49 reconnections of
    // 50 attempts each.
    EXPECT_LE(Sleeps().size(), 49u);
    EXPECT_LE(PausedMs(), 4900u);
    EXPECT_LE(pcsc.Count(Call::EstablishContext), 50);
}

#ifndef _WIN32  // an unwritable card database is made through the file store's folder
// The card cannot be entered in the card database, so every reconnection
// would probe it again; each probe's Transmit fails and would recover anew.
TEST_F(RecoveryBudgetTest, RecoveryOfAnUnregisteredCardDoesNotRecurse) {
    setenv("XDG_CONFIG_HOME", "/dev/null/unwritable", 1);
    pcsc.InsertCard(kReader, std::make_shared<fake::FixedCard>(kOtherAtr, Bytes{0x90, 0x00}));
    QAV_HANDLE handle = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_OK);
    pcsc.ResetCounts();
    pcsc.Inject(Call::Transmit, platform::kScardInvalidHandle, 200);
    uint32_t sw = 0;
    EXPECT_EQ(Challenge(handle, &sw), platform::kScardInvalidHandle);
    EXPECT_LE(pcsc.Count(Call::Transmit), 50);
    EXPECT_LE(Sleeps().size(), 49u);
}
#endif

TEST_F(RecoveryBudgetTest, RecoveredDeviceLeavesNoContextOpen) {
    const QAV_HANDLE handle = Open();
    pcsc.DropAllContexts();  // the service restarted
    card->Expect("00 84 00 00 04", "01 02 03 04 90 00");
    uint32_t sw = 0;
    ASSERT_EQ(Challenge(handle, &sw), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
    EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
}

// A card whose connection is refused counts as usable without a handle; the
// listing must not disconnect anything else in its place.
TEST_F(RecoveryBudgetTest, ListingPastARefusedCardLeavesAnOpenDeviceAlone) {
    const QAV_HANDLE handle = Open();
    ASSERT_EQ(QAV_Lock(handle, 0), QAV_OK);
    pcsc.AddReader("ADM Mute");
    pcsc.InsertCard("ADM Mute", std::make_shared<fake::FixedCard>(kOtherAtr, Bytes{0x90, 0x00}));
    pcsc.RefuseConnections("ADM Mute", true);

    char** names = nullptr;
    uint32_t count = 0;
    ASSERT_EQ(QAV_GetDeviceList(&names, &count, 1), QAV_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(pcsc.OpenHandles(), 1u) << "the device's connection was closed";

    pcsc.ResetCounts();
    card->Expect("00 84 00 00 04", "01 02 03 04 90 00");
    uint32_t sw = 0;
    EXPECT_EQ(Challenge(handle, &sw), QAV_OK);
    EXPECT_EQ(pcsc.Count(Call::Connect) + pcsc.Count(Call::Reconnect), 0)
        << "the device had to reconnect, so its transaction was lost";
    EXPECT_EQ(QAV_Unlock(handle, 0), QAV_OK);
}

// A lost context during a probe reconnects to the reader being probed, not
// to the one connected before.
TEST_F(RecoveryBudgetTest, ProbeRetriedAfterALostContextGoesToTheProbedCard) {
    CReaderPCSC reader;
    ASSERT_EQ(reader.EstablishContext(0), QAV_OK);
    auto first =
        std::make_shared<fake::FixedCard>(Bytes{0x3B, 0x02, 0x14, 0x50}, Bytes{0x90, 0x00});
    ASSERT_NO_FATAL_FAILURE(RegisterAtr(first->Atr()));
    pcsc.InsertCard(kReader, first);
    ASSERT_EQ(reader.Connect(kReader, 0), QAV_OK);

    pcsc.AddReader("ADM Second");
    auto second = std::make_shared<fake::FixedCard>(kOtherAtr, Bytes{0x90, 0x00});
    pcsc.InsertCard("ADM Second", second);
    pcsc.Inject(Call::Transmit, platform::kScardInvalidHandle);
    uint32_t length = 0;
    ASSERT_EQ(reader.ListReaders(nullptr, &length, 1, 0), QAV_OK);
    EXPECT_TRUE(first->commands.empty());
    EXPECT_EQ(second->commands, std::vector<Bytes>{fake::FromHex(test::kSelectSeal)});
}

}  // namespace
}  // namespace qav
