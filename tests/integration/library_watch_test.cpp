// Device-change watches against two virtual keys in a real pcscd (run under
// scripts/bench --keys 2): what is reported, in which order, and how watches
// end.
#include <gtest/gtest.h>
#include <qavseal/qavseal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pcsc_link.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Events = std::vector<std::pair<std::string, uint32_t>>;

class LibraryWatch : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override {
        if (second_.empty()) GTEST_SKIP() << "needs scripts/bench --keys 2";
        ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    }
    void TearDown() override {
        if (!second_.empty()) {
            EXPECT_EQ(QAV_Finalize(0), QAV_OK);
        }
    }

    static uint32_t QAV_CALLBACK OnChange(const char* name, uint32_t arrived, uintptr_t user,
                                          uint32_t) {
        auto* self = reinterpret_cast<LibraryWatch*>(user);
        if (self->cancelInCallback_) self->cancelResult_ = QAV_CancelDetectDeviceChange(0);
        const std::lock_guard<std::mutex> lock(self->lock_);
        self->events_.push_back({name, arrived, Clock::now()});
        self->added_.notify_all();
        return 0;
    }
    uint32_t StartWatch() {
        return QAV_DetectDeviceChange(&OnChange, reinterpret_cast<uintptr_t>(this));
    }

    // The next `count` events (fewer if they do not come in time), and the
    // time the last of them came.
    Events Take(size_t count, Clock::time_point* last = nullptr, Clock::duration wait = 15s) {
        std::unique_lock<std::mutex> lock(lock_);
        added_.wait_for(lock, wait, [&] { return events_.size() >= count; });
        Events taken;
        while (!events_.empty() && taken.size() < count) {
            taken.emplace_back(events_.front().name, events_.front().arrived);
            if (last != nullptr) *last = events_.front().at;
            events_.pop_front();
        }
        return taken;
    }
    static Events Sorted(Events events) {
        std::sort(events.begin(), events.end());
        return events;
    }
    // Nothing more is reported for a while.
    void ExpectQuiet() { EXPECT_EQ(Take(1, nullptr, 500ms), Events{}); }

    static void Send(const std::string& control, const char* line) {
        std::ofstream(control) << line << '\n';
    }

    struct Event {
        std::string name;
        uint32_t arrived;
        Clock::time_point at;
    };
    std::mutex lock_;
    std::condition_variable added_;
    std::deque<Event> events_;
    bool cancelInCallback_ = false;
    uint32_t cancelResult_ = 1;

    bench::PcscContext context_;
    const std::string first_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    const std::string second_ = bench::Env("QAVSEAL_READER_1");
    const std::string firstControl_ = bench::Env("QAVSEAL_VCARD_CTL");
    const std::string secondControl_ = bench::Env("QAVSEAL_VCARD_CTL_1");
};

TEST_F(LibraryWatch, ReportsPresentKeysThenEveryChangeInReaderOrder) {
    ASSERT_EQ(StartWatch(), QAV_OK);
    EXPECT_EQ(Take(2), (Events{{first_, 1}, {second_, 1}}));
    ExpectQuiet();

    Send(firstControl_, "remove");
    ASSERT_TRUE(context_.WaitForCard(first_, false, 5000));
    const Clock::time_point seenByService = Clock::now();
    Clock::time_point reported;
    EXPECT_EQ(Take(1, &reported), (Events{{first_, 0}}));
    std::printf("removal reported %lld ms after the service showed it\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(reported - seenByService)
                        .count()));
    Send(firstControl_, "insert");
    EXPECT_EQ(Take(1), (Events{{first_, 1}}));

    // Both at once: the service sees each reader change in its own time,
    // so they may take one listing (reader order) or two.
    Send(secondControl_, "remove");
    Send(firstControl_, "remove");
    EXPECT_EQ(Sorted(Take(2)), (Events{{first_, 0}, {second_, 0}}));
    Send(secondControl_, "insert");
    Send(firstControl_, "insert");
    EXPECT_EQ(Sorted(Take(2)), (Events{{first_, 1}, {second_, 1}}));
    ExpectQuiet();
}

TEST_F(LibraryWatch, RestartedServiceReportsRemovalsThenArrivals) {
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_EQ(Take(2).size(), 2u);
    ASSERT_EQ(std::system(bench::Env("QAVSEAL_PCSCD_RESTART").c_str()), 0);
    const Events events = Take(4);
    ASSERT_EQ(events.size(), 4u);
    // The failed listing reports both removals (reader order); the keys come
    // back to the new service each in its own time.
    EXPECT_EQ(Events(events.begin(), events.begin() + 2), (Events{{first_, 0}, {second_, 0}}));
    EXPECT_EQ(Sorted(Events(events.begin() + 2, events.end())),
              (Events{{first_, 1}, {second_, 1}}));
    ExpectQuiet();
}

TEST_F(LibraryWatch, CancelOfTheCallersOwnWatchesFromACallbackFindsNone) {
    cancelInCallback_ = true;
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_EQ(Take(2).size(), 2u);
    EXPECT_EQ(cancelResult_, QAV_OK);
    // The watch goes on.
    Send(secondControl_, "remove");
    EXPECT_EQ(Take(1), (Events{{second_, 0}}));
    Send(secondControl_, "insert");
    EXPECT_EQ(Take(1), (Events{{second_, 1}}));
}

TEST_F(LibraryWatch, LastFinalizeStopsEveryWatch) {
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_EQ(Take(4).size(), 4u);
    EXPECT_EQ(QAV_CancelDetectDeviceChange(2), QAV_OK);  // even: stops nothing
    auto finalized = std::async(std::launch::async, [] { return QAV_Finalize(0); });
    if (finalized.wait_for(10s) != std::future_status::ready) {
        std::fprintf(stderr, "QAV_Finalize did not stop the watches within 10 s\n");
        std::_Exit(1);
    }
    EXPECT_EQ(finalized.get(), QAV_OK);
    Send(firstControl_, "remove");
    ASSERT_TRUE(context_.WaitForCard(first_, false, 5000));
    ExpectQuiet();
    Send(firstControl_, "insert");
    ASSERT_TRUE(context_.WaitForCard(first_, true, 5000));
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);  // for TearDown's QAV_Finalize
}

}  // namespace
