// Device-change watches on the fake service: what one listing reports
// against the last, and a service with no reader at all (a USB key is its
// own reader, so with the key unplugged the service has none).
#include "device/device_watch.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pcsc.h"
#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using namespace std::chrono_literals;
using Events = std::vector<std::pair<std::string, uint32_t>>;

constexpr char kReader[] = "ADM Virtual Seal 00 00";
const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

TEST(DeviceWatchCompareTest, ArrivalsInTheNewOrderThenRemovalsInTheOldOne) {
    const auto changes = CDeviceWatch::Compare({"A", "B", "C"}, {"D", "B", "E"});
    std::vector<std::pair<std::string, bool>> flat;
    for (const auto& change : changes) flat.emplace_back(change.name, change.arrived);
    EXPECT_EQ(flat, (std::vector<std::pair<std::string, bool>>{
                        {"D", true}, {"E", true}, {"A", false}, {"C", false}}));
    EXPECT_TRUE(CDeviceWatch::Compare({"A", "B"}, {"B", "A"}).empty());
    EXPECT_TRUE(CDeviceWatch::Compare({}, {}).empty());
}

class DeviceWatchTest : public test::ServiceTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(RegisterAtr(kAtr));
        ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    }
    void TearDown() override { test::StopLibrary(); }

    static uint32_t QAV_CALLBACK OnChange(const char* name, uint32_t arrived, uintptr_t user,
                                          uint32_t) {
        auto* self = reinterpret_cast<DeviceWatchTest*>(user);
        const std::lock_guard<std::mutex> lock(self->lock_);
        self->events_.emplace_back(name, arrived);
        self->added_.notify_all();
        return 0;
    }
    uint32_t StartWatch() {
        return QAV_DetectDeviceChange(&OnChange, reinterpret_cast<uintptr_t>(this));
    }
    Events Take(size_t count, std::chrono::milliseconds wait = 5s) {
        std::unique_lock<std::mutex> lock(lock_);
        added_.wait_for(lock, wait, [&] { return events_.size() >= count; });
        Events taken;
        while (!events_.empty() && taken.size() < count) {
            taken.push_back(events_.front());
            events_.pop_front();
        }
        return taken;
    }
    // Whether some thread comes to wait in the service on exactly these
    // readers (within a generous limit, so a slow run does not fail).
    bool WaitsOn(const std::vector<std::string>& readers) {
        for (const auto end = std::chrono::steady_clock::now() + 10s;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(1ms)) {
            for (const auto& waited : pcsc.Waits()) {
                if (waited == readers) return true;
            }
        }
        return false;
    }

    std::mutex lock_;
    std::condition_variable added_;
    std::deque<std::pair<std::string, uint32_t>> events_;
};

// pcsc-lite's answers with no reader: none to list, and a query of the
// notification reader alone that has nothing to tell.
TEST_F(DeviceWatchTest, AServiceWithoutReadersAnswersAsPcscLiteDoes) {
    platform::PcscContext context = 0;
    ASSERT_EQ(platform::EstablishContext(&context), QAV_OK);
    platform::ServiceReaderList list;
    EXPECT_EQ(platform::ListReaders(context, &list), platform::kScardNoReadersAvailable);
    platform::WatchedReader pnp{platform::kPnpNotificationReader, 0, 0};
    EXPECT_EQ(platform::WaitForChange(context, &pnp, 1, 0), platform::kScardTimeout);
    EXPECT_EQ(platform::WaitForChange(context, &pnp, 1, 20), platform::kScardTimeout);
    // A reader that comes during a wait ends it.
    std::thread plug([&] {
        while (pcsc.Waits().empty()) std::this_thread::sleep_for(1ms);
        pcsc.AddReader(kReader);
    });
    EXPECT_EQ(platform::WaitForChange(context, &pnp, 1, 10000), QAV_OK);
    plug.join();
    EXPECT_NE(pnp.seen & platform::kStateChanged, 0u);
    EXPECT_EQ(platform::ReleaseContext(context), QAV_OK);
}

// With no reader the watch waits in the service on the notification reader
// rather than listing every pause; it reports the key whose reader comes,
// and the exports answer beside it.
TEST_F(DeviceWatchTest, WithNoReaderTheWatchWaitsForOneAndReportsItsKey) {
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_TRUE(WaitsOn({platform::kPnpNotificationReader}));
    char** names = nullptr;
    uint32_t count = 9;
    EXPECT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_E_NO_DEVICE);
    EXPECT_EQ(count, 0u);

    pcsc.AddReader(kReader);
    pcsc.InsertCard(kReader, std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00}));
    EXPECT_EQ(Take(1), (Events{{kReader, 1}}));
    pcsc.RemoveCard(kReader);
    EXPECT_EQ(Take(1), (Events{{kReader, 0}}));
    pcsc.InsertCard(kReader, std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00}));
    EXPECT_EQ(Take(1), (Events{{kReader, 1}}));
    // The key unplugged with its reader: gone, and back to waiting.
    pcsc.RemoveReader(kReader);
    EXPECT_EQ(Take(1), (Events{{kReader, 0}}));
    ASSERT_TRUE(WaitsOn({platform::kPnpNotificationReader}));
    EXPECT_EQ(Take(1, 100ms), Events{});

    EXPECT_EQ(QAV_CancelDetectDeviceChange(0), QAV_OK);
    EXPECT_TRUE(pcsc.Waits().empty());
}

}  // namespace
}  // namespace qav
