// The library's device list against virtual keys in a real pcscd (run under
// scripts/bench): probing, a key pulled. (Two keys in reader order: the
// watch's first report, in the threads tests.)
#include <gtest/gtest.h>
#include <qavseal/qavseal.h>

#include <filesystem>
#include <fstream>

#include "pcsc_link.h"

namespace {

class LibraryDevices : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override { ASSERT_EQ(QAV_Initialize(0), QAV_OK); }
    void TearDown() override { EXPECT_EQ(QAV_Finalize(0), QAV_OK); }

    std::vector<std::string> List(uint32_t* result) {
        char** names = nullptr;
        uint32_t count = 99;
        *result = QAV_GetDeviceList(&names, &count, 0);
        std::vector<std::string> out;
        for (uint32_t i = 0; names != nullptr && i < count; ++i) out.emplace_back(names[i]);
        if (*result != QAV_OK) {
            EXPECT_EQ(count, 0u);
        }
        return out;
    }
    static bool RegisteredSomewhere(const std::string& prefix) {
        const std::string root = bench::Env("XDG_CONFIG_HOME");
        if (!std::filesystem::exists(root)) return false;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (entry.path().filename().string().rfind(prefix, 0) == 0) return true;
        }
        return false;
    }

    bench::PcscContext context_;
    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
};

TEST_F(LibraryDevices, VirtualKeyIsListedAndRegistered) {
    uint32_t result = 0;
    const auto names = List(&result);
    ASSERT_EQ(result, QAV_OK);
    EXPECT_NE(std::find(names.begin(), names.end(), reader_), names.end());
    std::string atr;
    for (const uint8_t b : bench::CardLink(context_, reader_).Atr()) {
        static const char digits[] = "0123456789ABCDEF";
        atr += digits[b >> 4];
        atr += digits[b & 15];
    }
    EXPECT_TRUE(RegisteredSomewhere("Card_" + atr)) << "a probed card enters the card database";
    // A second listing finds the registered card again.
    EXPECT_EQ(List(&result), names);
    EXPECT_EQ(result, QAV_OK);
}

TEST_F(LibraryDevices, RemovedKeyLeavesTheListAndComesBack) {
    const std::string control = bench::Env("QAVSEAL_VCARD_CTL");
    if (control.empty()) GTEST_SKIP() << "not run under scripts/bench";
    std::ofstream(control) << "remove\n";
    ASSERT_TRUE(context_.WaitForCard(reader_, false, 5000));
    uint32_t result = 0;
    const std::string second = bench::Env("QAVSEAL_READER_1");
    const auto left = List(&result);
    if (second.empty()) {
        EXPECT_TRUE(left.empty());
        EXPECT_EQ(result, QAV_E_NO_DEVICE);
    } else {
        EXPECT_EQ(left, std::vector<std::string>{second}) << "the other key stays";
        EXPECT_EQ(result, QAV_OK);
    }
    std::ofstream(control) << "insert\n";
    ASSERT_TRUE(context_.WaitForCard(reader_, true, 5000));
    const auto names = List(&result);
    EXPECT_EQ(result, QAV_OK);
    EXPECT_NE(std::find(names.begin(), names.end(), reader_), names.end());
}

}  // namespace
