// Windows only: the first context waits for the smart-card service to have
// started, and hands the started event back.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Call;

class ServiceStartTest : public test::ServiceTest {
protected:
    void TearDown() override { test::StopLibrary(); }
};

TEST_F(ServiceStartTest, FirstContextWaitsUntilTheServiceHasStarted) {
    pcsc.SetServiceStarted(false);
    uint32_t rc = 1;
    std::thread starter([&] { rc = QAV_Initialize(0); });
    for (int i = 0; i < 500 && pcsc.Count(Call::AccessStartedEvent) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(pcsc.Count(Call::AccessStartedEvent), 1);
    // A start that did not wait would have asked for its context by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(pcsc.Count(Call::EstablishContext), 0);

    pcsc.SetServiceStarted(true);
    starter.join();
    EXPECT_EQ(rc, QAV_OK);
    EXPECT_EQ(pcsc.Count(Call::EstablishContext), 1);
    EXPECT_EQ(pcsc.Count(Call::ReleaseStartedEvent), 1);
}

TEST_F(ServiceStartTest, NoStartedEventIsReportedWithItsError) {
    pcsc.Inject(Call::AccessStartedEvent, 0x8010001Eu);
    EXPECT_EQ(QAV_Initialize(0), 0x8010001Eu);
    EXPECT_EQ(pcsc.Count(Call::EstablishContext), 0);
    EXPECT_EQ(pcsc.Count(Call::ReleaseStartedEvent), 0);
}

}  // namespace
}  // namespace qav
