// Exports called from several threads at once share one manager, factory and
// master reader; the process lock keeps them apart (TSan checks the rest).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;

class ConcurrencyTest : public test::OpenDeviceTest {};

TEST_F(ConcurrencyTest, ListingAndCommandsFromManyThreads) {
    // A registered card that answers everything with 9000.
    const QAV_HANDLE handle = Open();
    pcsc.InsertCard(kReader, std::make_shared<fake::FixedCard>(Bytes{0x3B, 0x02, 0x14, 0x50},
                                                               Bytes{0x90, 0x00}));
    QAV_CloseDevice(handle, 0);
    QAV_HANDLE shared = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &shared, 0), QAV_OK);

    constexpr int kThreads = 4;
    constexpr int kRounds = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const uint8_t command[] = {0x00, 0x84, 0x00, 0x00, 0x08};
            for (int i = 0; i < kRounds; ++i) {
                uint32_t rc = QAV_OK;
                if ((t + i) % 3 == 0) {
                    char** names = nullptr;
                    uint32_t count = 0;
                    rc = QAV_GetDeviceList(&names, &count, 0);
                    if (rc == QAV_OK && count != 1) rc = QAV_E_UNEXPECTED_DATA;
                } else if ((t + i) % 3 == 1) {
                    uint8_t out[16];
                    uint32_t length = sizeof out;
                    uint32_t sw = 0;
                    rc = QAV_Transmit(shared, command, sizeof command, out, &length, &sw, 0);
                    if (rc == QAV_OK && sw != 0x9000) rc = QAV_E_UNEXPECTED_DATA;
                } else {
                    // Opening and closing changes the manager's records under the others.
                    QAV_HANDLE own = 0;
                    rc = QAV_OpenDevice(kReader, &own, 0);
                    if (rc == QAV_OK) rc = QAV_CloseDevice(own, 0);
                }
                if (rc != QAV_OK) ++failures;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(QAV_CloseDevice(shared, 0), QAV_OK);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);
}

}  // namespace
}  // namespace qav
