// Several threads on one reader through a real pcscd (run under
// scripts/bench). A stuck call must fail the test, not stall CI: every wait
// here has a time guard that ends the process.
#include <gtest/gtest.h>
#include <qavseal/qavseal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "pcsc_link.h"

namespace {

using namespace std::chrono_literals;

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

}  // namespace
