// The library on a pcscd with no reader at all (scripts/bench --no-readers):
// a USB seal key is its own reader, so with the key unplugged the service
// has none. The readers come with a restart of the service.
#include <gtest/gtest.h>
#include <qavseal/qavseal.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pcsc_link.h"

namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::pair<std::string, uint32_t>>;

class NoReader : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override { ASSERT_EQ(QAV_Initialize(0), QAV_OK); }
    void TearDown() override {
        EXPECT_EQ(QAV_Finalize(0), QAV_OK);
        // The next test starts without readers again.
        if (plugged_) {
            EXPECT_EQ(std::system(bench::Env("QAVSEAL_READERS_UNPLUG").c_str()), 0);
        }
    }

    static uint32_t QAV_CALLBACK OnChange(const char* name, uint32_t arrived, uintptr_t user,
                                          uint32_t) {
        auto* self = reinterpret_cast<NoReader*>(user);
        const std::lock_guard<std::mutex> lock(self->lock_);
        self->events_.emplace_back(name, arrived);
        self->added_.notify_all();
        return 0;
    }
    Events Take(size_t count, std::chrono::milliseconds wait = 15s) {
        std::unique_lock<std::mutex> lock(lock_);
        added_.wait_for(lock, wait, [&] { return events_.size() >= count; });
        Events taken;
        while (!events_.empty() && taken.size() < count) {
            taken.push_back(events_.front());
            events_.pop_front();
        }
        return taken;
    }

    std::vector<std::string> List(uint32_t* result) {
        char** names = nullptr;
        uint32_t count = 99;
        *result = QAV_GetDeviceList(&names, &count, 0);
        std::vector<std::string> out;
        for (uint32_t i = 0; names != nullptr && i < count; ++i) out.emplace_back(names[i]);
        return out;
    }
    void Plug() {
        ASSERT_EQ(std::system(bench::Env("QAVSEAL_READERS_PLUG").c_str()), 0);
        plugged_ = true;
    }
    void Unplug() {
        ASSERT_EQ(std::system(bench::Env("QAVSEAL_READERS_UNPLUG").c_str()), 0);
        plugged_ = false;
    }

    std::mutex lock_;
    std::condition_variable added_;
    std::deque<std::pair<std::string, uint32_t>> events_;
    bool plugged_ = false;
    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
};

TEST_F(NoReader, DeviceExportsAnswerAsForAnEmptyReader) {
    uint32_t result = 0;
    EXPECT_EQ(List(&result), std::vector<std::string>{});
    EXPECT_EQ(result, QAV_E_NO_DEVICE);
    QAV_HANDLE handle = 0;
    EXPECT_EQ(QAV_OpenDevice(reader_.c_str(), &handle, 0), 0x80100009u)  // unknown reader
        << "nothing to open";
    // No watch of this thread: nothing to stop, and still initialised.
    EXPECT_EQ(QAV_CancelDetectDeviceChange(0), QAV_OK);
}

// The watch waits for the service to report a reader, reports the key that
// comes with it and the key's leaving, and stops on request; the exports
// answer beside it all the while.
TEST_F(NoReader, WatchReportsTheKeyWhoseReaderAppears) {
    ASSERT_EQ(QAV_DetectDeviceChange(&OnChange, reinterpret_cast<uintptr_t>(this)), QAV_OK);
    EXPECT_EQ(Take(1, 500ms), Events{});
    uint32_t result = 0;
    EXPECT_EQ(List(&result), std::vector<std::string>{});
    EXPECT_EQ(result, QAV_E_NO_DEVICE);

    Plug();
    EXPECT_EQ(Take(1), (Events{{reader_, 1}}));
    EXPECT_EQ(List(&result), std::vector<std::string>{reader_});
    EXPECT_EQ(result, QAV_OK);
    QAV_HANDLE handle = 0;
    ASSERT_EQ(QAV_OpenDevice(reader_.c_str(), &handle, 0), QAV_OK);
    uint8_t random[24] = {};
    EXPECT_EQ(QAV_GenRandom(handle, random, sizeof random, 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);

    Unplug();
    EXPECT_EQ(Take(1), (Events{{reader_, 0}}));
    EXPECT_EQ(Take(1, 500ms), Events{});
    EXPECT_EQ(List(&result), std::vector<std::string>{});
    EXPECT_EQ(result, QAV_E_NO_DEVICE);
    EXPECT_EQ(QAV_CancelDetectDeviceChange(0), QAV_OK);
}

}  // namespace
