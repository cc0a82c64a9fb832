// Exports from many threads on two devices, beside two device-change
// watches, while a card is pulled and put back (run under TSan too). A
// deadlock fails the time guard instead of stalling the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using namespace std::chrono_literals;

constexpr char kSecondReader[] = "ADM Virtual Seal 00 01";

// What each watch saw, per device name, in order.
struct Seen {
    std::mutex lock;
    std::map<std::string, std::vector<uint32_t>> events;
};

uint32_t QAV_CALLBACK Record(const char* name, uint32_t arrived, uintptr_t user, uint32_t) {
    auto* seen = reinterpret_cast<Seen*>(user);
    const std::lock_guard<std::mutex> lock(seen->lock);
    seen->events[name].push_back(arrived);
    return 0;
}

class ConcurrencyTest : public test::StartedLibraryTest {};

TEST_F(ConcurrencyTest, MixedExportsOnTwoDevicesBesideTwoWatches) {
    const Bytes atr = {0x3B, 0x02, 0x14, 0x50};
    ASSERT_NO_FATAL_FAILURE(RegisterAtr(atr));
    pcsc.AddReader(kSecondReader);
    for (const char* reader : {kReader, kSecondReader}) {
        pcsc.InsertCard(reader, std::make_shared<fake::FixedCard>(atr, Bytes{0x90, 0x00}));
    }
    QAV_HANDLE devices[2] = {};
    ASSERT_EQ(QAV_OpenDevice(kReader, &devices[0], 0), QAV_OK);
    ASSERT_EQ(QAV_OpenDevice(kSecondReader, &devices[1], 0), QAV_OK);
    Seen seen[2];
    for (Seen& watch : seen) {
        ASSERT_EQ(QAV_DetectDeviceChange(&Record, reinterpret_cast<uintptr_t>(&watch)), QAV_OK);
    }

    // Every result a call may give here: a card pulled mid-call shows as
    // removed, or as no device to a listing or an opening.
    const std::set<uint32_t> documented = {QAV_OK, QAV_E_NO_DEVICE, 0x80100069u, 0x8010000Cu};
    std::mutex unexpectedLock;
    std::vector<uint32_t> unexpected;
    auto work = std::async(std::launch::async, [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&, t] {
                const QAV_HANDLE device = devices[t % 2];
                const uint8_t command[] = {0x00, 0x84, 0x00, 0x00, 0x08};
                for (int i = 0; i < 60; ++i) {
                    uint32_t rc = QAV_OK;
                    uint8_t out[16];
                    uint32_t length = sizeof out;
                    uint32_t sw = 0;
                    char** names = nullptr;
                    uint32_t count = 0;
                    QAV_HANDLE own = 0;
                    switch ((t + i) % 4) {
                        case 0:
                            rc =
                                QAV_Transmit(device, command, sizeof command, out, &length, &sw, 0);
                            break;
                        case 1:
                            rc = QAV_Lock(device, 0);
                            if (rc == QAV_OK) rc = QAV_Unlock(device, 0);
                            break;
                        case 2:
                            rc = QAV_GetDeviceList(&names, &count, 0);
                            break;
                        default:
                            rc = QAV_OpenDevice(t % 2 != 0 ? kSecondReader : kReader, &own, 0);
                            if (rc == QAV_OK) rc = QAV_CloseDevice(own, 0);
                            break;
                    }
                    if (documented.count(rc) == 0) {
                        const std::lock_guard<std::mutex> lock(unexpectedLock);
                        unexpected.push_back(rc);
                    }
                }
            });
        }
        // One card pulled and put back while the others work.
        std::this_thread::sleep_for(20ms);
        pcsc.RemoveCard(kSecondReader);
        std::this_thread::sleep_for(50ms);
        pcsc.InsertCard(kSecondReader, std::make_shared<fake::FixedCard>(atr, Bytes{0x90, 0x00}));
        for (std::thread& thread : threads) thread.join();
    });
    if (work.wait_for(60s) != std::future_status::ready) {
        std::fprintf(stderr, "the threads did not finish within 60 s: deadlock\n");
        std::_Exit(1);
    }
    EXPECT_TRUE(unexpected.empty()) << "first unexpected result " << std::hex << unexpected[0];

    // Let the watches see the card back, then stop them with the library.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(QAV_CloseDevice(devices[0], 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(devices[1], 0), QAV_OK);
    ASSERT_EQ(QAV_Finalize(0), QAV_OK);
    for (Seen& watch : seen) {
        // Both devices arrived first; any removal was followed by an arrival.
        for (const char* reader : {kReader, kSecondReader}) {
            const std::vector<uint32_t>& events = watch.events[reader];
            ASSERT_FALSE(events.empty()) << reader;
            for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i], i % 2 == 0 ? 1u : 0u);
            EXPECT_EQ(events.back(), 1u) << reader;
        }
    }
    EXPECT_EQ(pcsc.OpenHandles(), 0u);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
}

}  // namespace
}  // namespace qav
