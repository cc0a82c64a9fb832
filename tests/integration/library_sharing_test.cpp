// Two applications on one key through a real pcscd (run under scripts/bench):
// this process and the second-process program, each through the library.
// Each export holds the card for its own commands, so nothing the other
// process does lands between them: no failure from interleaving, and no
// byte written into the file the other process had selected.
#include <gtest/gtest.h>
#include <poll.h>
#include <qavseal/qavseal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "pcsc_link.h"

namespace {

using bench::Bytes;

constexpr char kPin[] = "12345678";
constexpr uint32_t kFile = 0x1011;  // 1024 bytes, written under the PIN
constexpr uint32_t kFileSize = 1024;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 13);
    return out;
}

// The second process in one of its loops, stopped through a file.
class OtherApplication {
public:
    OtherApplication(const std::string& reader, const char* mode)
        : stopFile_(bench::Env("QAVSEAL_BENCH_DIR", "/tmp") + "/stop-" + mode),
          pipe_(nullptr, pclose) {
        std::remove(stopFile_.c_str());
        pipe_.reset(popen(("timeout 600 '" QAV_SECOND_PROCESS "' '" + reader + "' " + mode + " '" +
                           stopFile_ + "'")
                              .c_str(),
                          "r"));
    }
    ~OtherApplication() { std::ofstream(stopFile_).put('\n'); }
    OtherApplication(const OtherApplication&) = delete;
    OtherApplication& operator=(const OtherApplication&) = delete;

    // Rounds reported since the last call, waiting up to timeoutMs for the
    // first; failed rounds are counted in the summary.
    int Rounds(int timeoutMs) {
        int rounds = 0;
        while (NextLine(rounds == 0 ? timeoutMs : 0)) {
            if (line_.rfind("round ", 0) == 0) ++rounds;
        }
        return rounds;
    }
    // Stops the loop; its summary line.
    std::string Stop() {
        std::ofstream(stopFile_).put('\n');
        while (NextLine(60000)) {
            if (line_.rfind("rounds=", 0) == 0) return line_;
        }
        return "no summary";
    }

private:
    // Reads the next whole line into line_; false when none comes in time.
    bool NextLine(int timeoutMs) {
        for (;;) {
            const size_t end = pending_.find('\n');
            if (end != std::string::npos) {
                line_ = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return true;
            }
            if (!pipe_) return false;
            pollfd ready{fileno(pipe_.get()), POLLIN, 0};
            if (poll(&ready, 1, timeoutMs) != 1) return false;
            std::array<char, 4096> chunk{};
            const ssize_t got = read(fileno(pipe_.get()), chunk.data(), chunk.size());
            if (got <= 0) return false;
            pending_.append(chunk.data(), static_cast<size_t>(got));
        }
    }

    std::string stopFile_;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe_;
    std::string pending_;
    std::string line_;
};

// Between two exports this process leaves the card free for a moment, so
// the other application's exports fall between ours (pcsc-lite lets a
// waiting connection try again only every 100 ms).
void LeaveRoom() { std::this_thread::sleep_for(std::chrono::milliseconds(3)); }

// Rounds of the other application that must fall within ours.
constexpr int kOtherRounds = 25;

class Sharing : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override {
        ASSERT_EQ(QAV_Initialize(0), QAV_OK);
        ASSERT_EQ(QAV_OpenDevice(reader_.c_str(), &handle_, 0), QAV_OK);
        uint32_t tries = 0;
        ASSERT_EQ(QAV_VerifyPIN(handle_, kPin, &tries, 0), QAV_OK);
    }
    void TearDown() override {
        EXPECT_EQ(QAV_CloseDevice(handle_, 0), QAV_OK);
        EXPECT_EQ(QAV_Finalize(0), QAV_OK);
    }
    uint32_t ReadFile(Bytes* out) {
        out->assign(kFileSize, 0);
        return QAV_ReadFile(handle_, kFile, 0, out->data(), kFileSize, nullptr, 0, 0);
    }
    uint32_t WriteFile(const Bytes& data) {
        return QAV_WriteFile(handle_, kFile, 0, data.data(), static_cast<uint32_t>(data.size()), 0,
                             nullptr, nullptr, nullptr, 0, 0);
    }
    uint32_t ReadPicture(Bytes* picture) {
        uint32_t length = 1;
        if (const uint32_t rc = QAV_GetSealPic(handle_, 1, nullptr, &length, 0)) return rc;
        picture->assign(length, 0);
        return QAV_GetSealPic(handle_, 1, picture->data(), &length, 0);
    }

    const std::string reader_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    QAV_HANDLE handle_ = 0;
};

// A signer with its PIN verified beside a program that lists the containers
// in a loop (open, list, close): every signature comes back.
TEST_F(Sharing, SealSignsBesideAContainerListingLoop) {
    OtherApplication lister(reader_, "containers");
    int otherRounds = lister.Rounds(30000);
    ASSERT_GT(otherRounds, 0);
    const Bytes hash = Pattern(32, 9);
    int signatures = 0;
    int failures = 0;
    uint32_t firstFailure = QAV_OK;
    while ((signatures < 300 || otherRounds < kOtherRounds) && signatures < 3000) {
        uint8_t signature[64];
        uint32_t length = sizeof signature;
        const uint32_t rc =
            QAV_SealSign(handle_, "QAV-SM2-Seal", hash.data(), 32, nullptr, signature, &length, 0);
        ++signatures;
        if (rc != QAV_OK && failures++ == 0) firstFailure = rc;
        LeaveRoom();
        otherRounds += lister.Rounds(0);
    }
    const std::string summary = lister.Stop();
    std::printf("signer: %d signatures, %d failed; lister: %s\n", signatures, failures,
                summary.c_str());
    EXPECT_GE(otherRounds, kOtherRounds) << "the two applications hardly met";
    EXPECT_EQ(failures, 0) << "first failure " << std::hex << firstFailure;
    EXPECT_EQ(summary.rfind("rounds=", 0), 0u) << summary;
    EXPECT_NE(summary.find("failures=0 "), std::string::npos) << summary;
}

// A writer of file 1011 (reading each write back) beside a program that
// reads the seal picture in a loop: every write and read succeeds, each
// lands in its own file, and the picture stays as it was.
TEST_F(Sharing, FileWritesBesideAPictureReadingLoop) {
    Bytes original;
    ASSERT_EQ(ReadFile(&original), QAV_OK);
    Bytes pictureBefore;
    ASSERT_EQ(ReadPicture(&pictureBefore), QAV_OK);

    OtherApplication reader(reader_, "pictures");
    int otherRounds = reader.Rounds(30000);
    ASSERT_GT(otherRounds, 0);
    int writes = 0;
    int failures = 0;
    uint32_t firstFailure = QAV_OK;
    int wrongContent = 0;
    for (; (writes < 60 || otherRounds < kOtherRounds) && writes < 600; ++writes) {
        const Bytes written = Pattern(kFileSize, static_cast<uint8_t>(writes));
        uint32_t rc = WriteFile(written);
        Bytes back;
        if (rc == QAV_OK) rc = ReadFile(&back);
        if (rc != QAV_OK) {
            if (failures++ == 0) firstFailure = rc;
        } else if (back != written) {
            ++wrongContent;
        }
        LeaveRoom();
        otherRounds += reader.Rounds(0);
    }
    const std::string summary = reader.Stop();
    std::printf("writer: %d writes, %d failed, %d read back wrong; picture reader: %s\n", writes,
                failures, wrongContent, summary.c_str());
    EXPECT_GE(otherRounds, kOtherRounds) << "the two applications hardly met";
    EXPECT_EQ(failures, 0) << "first failure " << std::hex << firstFailure;
    EXPECT_EQ(wrongContent, 0);
    EXPECT_EQ(summary.rfind("rounds=", 0), 0u) << summary;
    EXPECT_NE(summary.find("failures=0 differing=0 "), std::string::npos) << summary;

    Bytes pictureAfter;
    ASSERT_EQ(ReadPicture(&pictureAfter), QAV_OK);
    EXPECT_EQ(pictureAfter, pictureBefore);
    EXPECT_EQ(WriteFile(original), QAV_OK);
}

}  // namespace
