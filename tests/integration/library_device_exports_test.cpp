// Device-level exports of the library on a virtual key in a real pcscd
// (run under scripts/bench; the key image is the bench's own).
#include <gtest/gtest.h>
#include <poll.h>
#include <qavseal/qavseal.h>

#include <array>
#include <cstdio>
#include <memory>

#include "host_crypto.h"
#include "pcsc_link.h"

namespace {

using bench::Bytes;

class DeviceExports : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override {
        ASSERT_EQ(QAV_Initialize(0), QAV_OK);
        ASSERT_EQ(QAV_OpenDevice(reader_.c_str(), &handle_, 0), QAV_OK);
    }
    void TearDown() override {
        if (handle_ != 0) {
            EXPECT_EQ(QAV_CloseDevice(handle_, 0), QAV_OK);
        }
        EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    }
    // Status word of a raw command, which should return result; its data in
    // *data when given.
    uint32_t Send(const std::string& hex, Bytes* data = nullptr, uint32_t result = QAV_OK) {
        const Bytes command = host::Hex(hex);
        Bytes response(256);
        uint32_t length = static_cast<uint32_t>(response.size());
        uint32_t status = 0;
        const uint32_t rc =
            QAV_Transmit(handle_, command.data(), static_cast<uint32_t>(command.size()),
                         response.data(), &length, &status, 0);
        EXPECT_EQ(rc, result) << hex;
        response.resize(length);
        if (data != nullptr) *data = response;
        return status;
    }

    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    QAV_HANDLE handle_ = 0;
};

// Another process using the library on the same key; reads its report lines.
class SecondProcess {
public:
    explicit SecondProcess(const std::string& reader)
        : pipe_(popen(("timeout 30 '" QAV_SECOND_PROCESS "' '" + reader + "'").c_str(), "r"),
                pclose) {}
    // The next line, or "" when none comes within timeoutMs.
    std::string Line(int timeoutMs) {
        if (!pipe_) return "";
        pollfd ready{fileno(pipe_.get()), POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1) return "";
        std::array<char, 128> line{};
        if (std::fgets(line.data(), line.size(), pipe_.get()) == nullptr) return "";
        std::string out(line.data());
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }

private:
    std::unique_ptr<FILE, int (*)(FILE*)> pipe_;
};

TEST_F(DeviceExports, LockKeepsAnotherProcessOut) {
    ASSERT_EQ(QAV_Lock(handle_, 0), QAV_OK);
    SecondProcess other(reader_);
    // pcscd holds the other connection until our transaction ends.
    EXPECT_EQ(other.Line(1000), "") << "the other process got in during our transaction";
    EXPECT_EQ(Send("0084000008"), 0x9000u) << "ours go on";
    ASSERT_EQ(QAV_Unlock(handle_, 0), QAV_OK);
    EXPECT_EQ(other.Line(10000), "open=00000000");
    EXPECT_EQ(other.Line(10000), "transmit=00000000 sw=9000");
}

}  // namespace
