// Several threads on the keys of a real pcscd (run under scripts/bench): a
// lock waiting in the service, and device-change watches (with --keys 2).
// A stuck call must fail the test, not stall CI: such waits have a time
// guard that ends the process.
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

// A call that has not returned when the guard runs out is stuck for good:
// the thread cannot be taken back, so the process reports and ends.
template <typename Call>
uint32_t Guarded(const char* what, std::chrono::seconds limit, Call&& call) {
    auto done = std::async(std::launch::async, std::forward<Call>(call));
    if (done.wait_for(limit) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within %lld s: the library hangs\n", what,
                     static_cast<long long>(limit.count()));
        std::fflush(stderr);
        std::_Exit(1);
    }
    return done.get();
}

class LibraryThreads : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override { ASSERT_EQ(QAV_Initialize(0), QAV_OK); }
    void TearDown() override { EXPECT_EQ(QAV_Finalize(0), QAV_OK); }

    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
};

// While one handle holds the card's transaction, a second handle's QAV_Lock
// waits in the service. The first handle's QAV_Unlock must still get
// through, and then the second lock is granted.
TEST_F(LibraryThreads, WaitingLockDoesNotBlockTheUnlockOfAnotherHandle) {
    QAV_HANDLE first = 0;
    QAV_HANDLE second = 0;
    ASSERT_EQ(QAV_OpenDevice(reader_.c_str(), &first, 0), QAV_OK);
    ASSERT_EQ(QAV_OpenDevice(reader_.c_str(), &second, 0), QAV_OK);
    ASSERT_EQ(QAV_Lock(first, 0), QAV_OK);

    auto waiting = std::async(std::launch::async, [&] { return QAV_Lock(second, 0); });
    // Give the second lock time to reach the service's wait.
    EXPECT_EQ(waiting.wait_for(300ms), std::future_status::timeout)
        << "the transaction did not keep the second handle out";

    EXPECT_EQ(Guarded("QAV_Unlock", 10s, [&] { return QAV_Unlock(first, 0); }), QAV_OK);
    EXPECT_EQ(Guarded("the waiting QAV_Lock", 10s, [&] { return waiting.get(); }), QAV_OK);
    EXPECT_EQ(QAV_Unlock(second, 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(second, 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(first, 0), QAV_OK);
}

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

// Every callback also cancels the watches its own thread started: there are
// none, and the watch goes on.
TEST_F(LibraryWatch, ReportsPresentKeysThenEveryChangeInReaderOrder) {
    cancelInCallback_ = true;
    ASSERT_EQ(StartWatch(), QAV_OK);
    EXPECT_EQ(Take(2), (Events{{first_, 1}, {second_, 1}}));
    EXPECT_EQ(cancelResult_, QAV_OK);
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

TEST_F(LibraryWatch, LastFinalizeStopsEveryWatch) {
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_EQ(StartWatch(), QAV_OK);
    ASSERT_EQ(Take(4).size(), 4u);
    EXPECT_EQ(QAV_CancelDetectDeviceChange(2), QAV_OK);  // even: stops nothing
    EXPECT_EQ(Guarded("QAV_Finalize with watches", 10s, [] { return QAV_Finalize(0); }), QAV_OK);
    Send(firstControl_, "remove");
    ASSERT_TRUE(context_.WaitForCard(first_, false, 5000));
    ExpectQuiet();
    Send(firstControl_, "insert");
    ASSERT_TRUE(context_.WaitForCard(first_, true, 5000));
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);  // for TearDown's QAV_Finalize
}

}  // namespace
