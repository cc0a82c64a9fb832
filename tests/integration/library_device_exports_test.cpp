// Device-level exports of the library on a virtual key in a real pcscd
// (run under scripts/bench; the key image is the bench's own).
#include <gtest/gtest.h>
#include <poll.h>
#include <qavseal/qavseal.h>

#include <array>
#include <cstdio>
#include <memory>

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
        const Bytes command = Hex(hex);
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
    static Bytes Hex(const std::string& text) {
        Bytes out;
        for (size_t i = 0; i + 1 < text.size(); i += 2) {
            out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        }
        return out;
    }

    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    QAV_HANDLE handle_ = 0;
};

TEST_F(DeviceExports, TransmitHandsOverStatusWordsAndFetchesPendingData) {
    Bytes data;
    ASSERT_EQ(Send("00A4040008A0000004534B4D50", &data), 0x9000u);
    EXPECT_EQ(data.size(), 17u) << "the control information, fetched under T=0 too";
    EXPECT_EQ(Send("00A40000029999"), 0x6A82u);
    EXPECT_EQ(Send("00B2010C00"), 0x6985u);
}

// Every other device export once through the service; the PIN is verified
// with raw commands, as no PIN export exists yet.
TEST_F(DeviceExports, AbilitiesStatesAndSecurityResets) {
    uint32_t flag1 = 9, flag2 = 9;
    ASSERT_EQ(QAV_GetSealDeviceAbility(handle_, &flag1, &flag2, 0), QAV_OK);
    EXPECT_EQ(flag1, 1u);
    EXPECT_EQ(flag2, 1u);
    std::array<uint8_t, 64> info{};
    ASSERT_EQ(QAV_GetAbilityInfo(handle_, info.data(), 0), QAV_OK);
    EXPECT_EQ(info[0], 0x02);  // version 0102, low byte first
    EXPECT_EQ(info[1], 0x01);

    const uint32_t expected[] = {0, 0, 9, 1};  // kind 3 is not supported
    for (uint32_t kind = 1; kind <= 4; ++kind) {
        uint32_t state = 9;
        EXPECT_EQ(QAV_GetState(handle_, kind, &state, 0), kind == 3 ? QAV_E_NOT_SUPPORTED : QAV_OK)
            << "kind " << kind;
        EXPECT_EQ(state, expected[kind - 1]) << "kind " << kind;
    }

    const auto verified = [this] { return Send("0020000000") == 0x9000u; };
    ASSERT_EQ(Send("002000000412345678"), 0x9000u);
    ASSERT_TRUE(verified());
    ASSERT_EQ(QAV_ClearSecureState(handle_, 0), QAV_OK);
    EXPECT_FALSE(verified()) << "ClearSecureState kept the PIN";

    ASSERT_EQ(Send("002000000412345678"), 0x9000u);
    ASSERT_EQ(QAV_Reset(handle_, 0), QAV_OK);
    EXPECT_FALSE(verified()) << "Reset kept the PIN";
    EXPECT_EQ(Send("0084000008"), 0x9000u) << "the connection stays usable";
}

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
