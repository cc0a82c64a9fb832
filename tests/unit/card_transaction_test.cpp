// The card held for an export: a PC/SC transaction of its own around its
// commands and callbacks, none under the caller's QAV_Lock, the end of an
// export at a reset met after its first command; and the handle's owner,
// which keeps other threads' calls on it out of a running export.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/pcsc.h"
#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;
using fake::FromHex;
using fake::ToHex;
using namespace std::chrono_literals;
using Journal = std::vector<std::string>;

// A file read of two pieces with no application probe: the select, then
// 240 and 60 bytes. Progress is reported before the first piece (the
// select is on the card by then) and after each piece.
constexpr char kSelect[] = "00 A4 02 00 02 10 11";
constexpr char kFirstPiece[] = "00 B0 00 00 F0";
constexpr char kSecondPiece[] = "00 B0 00 F0 3C";
constexpr char kChallenge[] = "00 84 00 00 08";
constexpr char kSecondReader[] = "ADM Virtual Seal 00 01";

std::string Answer(size_t length) { return ToHex(Bytes(length, 0x5A)) + " 90 00"; }

// The progress callback runs the std::function its user value points to.
uint32_t QAV_CALLBACK RunHook(uint32_t percent, uintptr_t user, uint32_t) {
    (*reinterpret_cast<std::function<void(uint32_t)>*>(user))(percent);
    return 0;
}

uint32_t SendChallenge(QAV_HANDLE handle) {
    const Bytes command = FromHex(kChallenge);
    uint8_t out[16];
    uint32_t length = sizeof out;
    uint32_t sw = 0;
    return QAV_Transmit(handle, command.data(), static_cast<uint32_t>(command.size()), out, &length,
                        &sw, 0);
}

class CardTransactionTest : public test::OpenDeviceTest {
protected:
    void ExpectRead() {
        card->Expect(kSelect, "90 00")
            .Expect(kFirstPiece, Answer(240))
            .Expect(kSecondPiece, Answer(60));
    }
    uint32_t Read(
        QAV_HANDLE handle, std::function<void(uint32_t)> hook = [](uint32_t) {}) {
        out_.assign(300, 0);
        return QAV_ReadFile(handle, 0x1011, 0, out_.data(), 300, &RunHook,
                            reinterpret_cast<uintptr_t>(&hook), 1);
    }

    Bytes out_;
};

TEST_F(CardTransactionTest, EachExportRunsInATransactionOfItsOwn) {
    const QAV_HANDLE handle = Open();
    ExpectRead();
    card->Expect(kChallenge, Answer(8));
    ASSERT_EQ(Read(handle), QAV_OK);
    ASSERT_EQ(SendChallenge(handle), QAV_OK);
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", kSelect, kFirstPiece, kSecondPiece, "end", "begin",
                                       kChallenge, "end"}));
    EXPECT_FALSE(pcsc.InTransaction(kReader));

    // Arguments the export refuses itself cost no transaction.
    pcsc.ResetCounts();
    EXPECT_EQ(QAV_Transmit(handle, nullptr, 5, nullptr, nullptr, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(pcsc.Count(Call::BeginTransaction), 0);
}

// While the caller holds the card, exports run inside its transaction; the
// pairs nest and the card is let go at the last QAV_Unlock.
TEST_F(CardTransactionTest, UnderTheCallersLockExportsBeginNone) {
    const QAV_HANDLE handle = Open();
    ExpectRead();
    card->Expect(kChallenge, Answer(8));
    ASSERT_EQ(QAV_Lock(handle, 0), QAV_OK);
    ASSERT_EQ(QAV_Lock(handle, 0), QAV_OK);
    ASSERT_EQ(Read(handle), QAV_OK);
    ASSERT_EQ(QAV_Unlock(handle, 0), QAV_OK);
    EXPECT_TRUE(pcsc.InTransaction(kReader));
    ASSERT_EQ(SendChallenge(handle), QAV_OK);
    ASSERT_EQ(QAV_Unlock(handle, 0), QAV_OK);
    EXPECT_FALSE(pcsc.InTransaction(kReader));
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", "begin", kSelect, kFirstPiece, kSecondPiece, "end",
                                       kChallenge, "end"}));

    // Afterwards exports begin their own again.
    card->Expect(kChallenge, Answer(8));
    pcsc.ResetCounts();
    ASSERT_EQ(SendChallenge(handle), QAV_OK);
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", kChallenge, "end"}));
}

// Before the first command nothing on the card is lost: a reset is
// reconnected and the transaction begun again, or the command sent again.
TEST_F(CardTransactionTest, ResetBeforeTheFirstCommandIsReconnectedAndTheExportGoesOn) {
    const QAV_HANDLE handle = Open();
    ExpectRead();
    pcsc.Inject(Call::BeginTransaction, platform::kScardResetCard);
    EXPECT_EQ(Read(handle), QAV_OK);
    EXPECT_EQ(pcsc.Count(Call::Reconnect), 1);
    EXPECT_EQ(pcsc.Count(Call::BeginTransaction), 2);

    ExpectRead();
    pcsc.ResetCounts();
    pcsc.Inject(Call::Transmit, platform::kScardResetCard);
    EXPECT_EQ(Read(handle), QAV_OK);
    EXPECT_EQ(pcsc.Count(Call::Reconnect), 1);
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", kSelect, kFirstPiece, kSecondPiece, "end"}));
}

// After the first command the file selected (and a PIN verified) went with
// the reset or the connection: the export ends with the service's code and
// sends nothing more. The transaction is ended where the service still
// holds it, and the next export reconnects.
TEST_F(CardTransactionTest, ResetOrLostConnectionAfterTheFirstCommandEndsTheExport) {
    struct Case {
        const char* name;
        std::function<void(fake::FakePcsc&)> fault;
        uint32_t result;
        int ends;  // transaction ends asked of the service
    };
    const Case cases[] = {
        {"reset",
         [](fake::FakePcsc& service) { service.Inject(Call::Transmit, platform::kScardResetCard); },
         platform::kScardResetCard, 1},
        {"pulled",
         [](fake::FakePcsc& service) { service.RemoveCard(test::StartedLibraryTest::kReader); },
         platform::kScardRemovedCard, 0},
        {"service restarted", [](fake::FakePcsc& service) { service.DropAllContexts(); },
         platform::kScardInvalidHandle, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QAV_HANDLE handle = Open();
        card->Expect(kSelect, "90 00").Expect(kFirstPiece, Answer(240));
        std::function<void(uint32_t)> fault = [&](uint32_t percent) {
            if (percent > 0) c.fault(pcsc);
        };
        EXPECT_EQ(Read(handle, fault), c.result);
        EXPECT_EQ(pcsc.Count(Call::Reconnect) + pcsc.Count(Call::Connect), 0);
        EXPECT_EQ(pcsc.Count(Call::EndTransaction), c.ends);
        EXPECT_EQ(pcsc.Count(Call::Transmit), 3);  // the second piece tried once
        EXPECT_FALSE(pcsc.InTransaction(kReader));
        EXPECT_EQ(card->StepsLeft(), 0u);

        // The card back (where it went), the same handle works on.
        if (c.result == platform::kScardRemovedCard) pcsc.InsertCard(kReader, card);
        card->Expect(kChallenge, Answer(8));
        EXPECT_EQ(SendChallenge(handle), QAV_OK);
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
    }
}

// Another connection to the same card (here another handle of this
// process) waits for the whole export, the callbacks in it included.
TEST_F(CardTransactionTest, AnotherConnectionWaitsForTheWholeExport) {
    const QAV_HANDLE handle = Open();
    QAV_HANDLE other = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &other, 0), QAV_OK);
    ExpectRead();
    card->Expect(kChallenge, Answer(8));
    std::future<uint32_t> sent;
    std::function<void(uint32_t)> hook = [&](uint32_t percent) {
        if (percent != 0) return;
        sent = std::async(std::launch::async, [&] { return SendChallenge(other); });
        // Long enough for the other command to reach the card, were it let in.
        std::this_thread::sleep_for(50ms);
    };
    ASSERT_EQ(Read(handle, hook), QAV_OK);
    ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sent.get(), QAV_OK);
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", kSelect, kFirstPiece, kSecondPiece, "end", "begin",
                                       kChallenge, "end"}));
}

// Two threads on one handle: the second one's call waits until the first
// one's export has ended, though that export spends a while in a callback.
TEST_F(CardTransactionTest, AnotherThreadOnTheHandleWaitsForTheExportAndItsCallbacks) {
    const QAV_HANDLE handle = Open();
    ExpectRead();
    card->Expect(kChallenge, Answer(8));
    std::atomic<bool> otherDone{false};
    std::future<uint32_t> sent;
    std::vector<bool> doneInCallback;
    std::function<void(uint32_t)> hook = [&](uint32_t percent) {
        if (percent == 0) {
            sent = std::async(std::launch::async, [&] {
                const uint32_t rc = SendChallenge(handle);
                otherDone = true;
                return rc;
            });
        }
        std::this_thread::sleep_for(20ms);
        doneInCallback.push_back(otherDone);
    };
    ASSERT_EQ(Read(handle, hook), QAV_OK);
    ASSERT_EQ(sent.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sent.get(), QAV_OK);
    EXPECT_EQ(doneInCallback, (std::vector<bool>{false, false, false}));
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", kSelect, kFirstPiece, kSecondPiece, "end", "begin",
                                       kChallenge, "end"}));
}

// The callback's own thread may use the handle: its call runs inside the
// export's transaction, between the export's commands.
TEST_F(CardTransactionTest, ACallbackMayCallTheLibraryOnTheSameHandle) {
    const QAV_HANDLE handle = Open();
    card->Expect(kSelect, "90 00").Expect(kFirstPiece, Answer(240));
    card->Expect(kChallenge, Answer(8)).Expect(kSecondPiece, Answer(60));
    uint32_t inner = 1;
    std::function<void(uint32_t)> hook = [&](uint32_t percent) {
        if (percent > 0 && percent < 100) inner = SendChallenge(handle);
    };
    ASSERT_EQ(Read(handle, hook), QAV_OK);
    EXPECT_EQ(inner, QAV_OK);
    EXPECT_EQ(pcsc.Journal(),
              (Journal{"begin", kSelect, kFirstPiece, kChallenge, kSecondPiece, "end"}));
}

// A callback closing the device its export runs on: the export finishes on
// the connection it began with, which then goes; the handle is gone at once.
TEST_F(CardTransactionTest, ACallbackClosingItsOwnDeviceDisconnectsAfterTheExport) {
    const QAV_HANDLE handle = Open();
    ExpectRead();
    uint32_t closed = 1;
    size_t handlesInCallback = 0;
    std::function<void(uint32_t)> hook = [&](uint32_t percent) {
        if (percent != 0) return;
        closed = QAV_CloseDevice(handle, 0);
        handlesInCallback = pcsc.OpenHandles();
        EXPECT_EQ(SendChallenge(handle), QAV_E_INVALID_HANDLE);
    };
    EXPECT_EQ(Read(handle, hook), QAV_OK);
    EXPECT_EQ(closed, QAV_OK);
    EXPECT_EQ(handlesInCallback, 1u);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);
    EXPECT_EQ(pcsc.Count(Call::Connect) + pcsc.Count(Call::Reconnect), 0);
    EXPECT_EQ(pcsc.Journal(), (Journal{"begin", kSelect, kFirstPiece, kSecondPiece, "end"}));
    EXPECT_EQ(SendChallenge(handle), QAV_E_INVALID_HANDLE);
}

// A handle's owner holds up no other handle: a call on another device ends
// while the first export still waits in its callback.
TEST_F(CardTransactionTest, CallsOnOtherHandlesNeverWait) {
    const QAV_HANDLE handle = Open();
    pcsc.AddReader(kSecondReader);
    auto second = std::make_shared<fake::ScriptedCard>(Bytes{0x3B, 0x02, 0x14, 0x50});
    pcsc.InsertCard(kSecondReader, second);
    QAV_HANDLE other = 0;
    ASSERT_EQ(QAV_OpenDevice(kSecondReader, &other, 0), QAV_OK);
    ExpectRead();
    second->Expect(kChallenge, Answer(8));
    std::future_status otherEnded = std::future_status::deferred;
    uint32_t otherResult = 1;
    std::function<void(uint32_t)> hook = [&](uint32_t percent) {
        if (percent != 0) return;
        auto sent = std::async(std::launch::async, [&] { return SendChallenge(other); });
        otherEnded = sent.wait_for(10s);
        if (otherEnded == std::future_status::ready) otherResult = sent.get();
    };
    ASSERT_EQ(Read(handle, hook), QAV_OK);
    EXPECT_EQ(otherEnded, std::future_status::ready);
    EXPECT_EQ(otherResult, QAV_OK);
}

}  // namespace
}  // namespace qav
