// Faults through a real pcscd (run under scripts/bench --keys 2): the
// service stopped or restarted between the commands of one export, a card
// pulled in the middle of one, a card that answers slowly. Faults in the
// middle of an export happen at a known point (a progress report, or the
// virtual key's remove-after control), never by timing.
#include <gtest/gtest.h>
#include <qavseal/qavseal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pcsc_link.h"

namespace {

using namespace std::chrono_literals;
using bench::Bytes;
using Clock = std::chrono::steady_clock;

constexpr char kPin[] = "12345678";
constexpr uint32_t kFile = 0x1011;  // 1024 bytes, written under the PIN
constexpr uint32_t kRemoved = 0x80100069u;
constexpr uint32_t kNoService = 0x8010001Du;
constexpr uint32_t kNotTransacted = 0x80100016u;
constexpr uint32_t kCommError = 0x80100013u;
constexpr uint32_t kInvalidHandle = 0x80100003u;

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class Faults : public ::testing::Test {
protected:
    static void SetUpTestSuite() { bench::UseBenchConfigHome(); }
    void SetUp() override {
        if (bench::Env("QAVSEAL_READER_1").empty()) GTEST_SKIP() << "needs scripts/bench --keys 2";
        ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    }
    void TearDown() override {
        if (!bench::Env("QAVSEAL_READER_1").empty()) {
            EXPECT_EQ(QAV_Finalize(0), QAV_OK);
        }
        if (stopped_) StartService();  // for the next test
    }

    static QAV_HANDLE Open(const std::string& reader) {
        QAV_HANDLE handle = 0;
        EXPECT_EQ(QAV_OpenDevice(reader.c_str(), &handle, 0), QAV_OK) << reader;
        return handle;
    }
    static uint32_t Verify(QAV_HANDLE handle) {
        uint32_t tries = 0;
        return QAV_VerifyPIN(handle, kPin, &tries, 0);
    }
    static Bytes ReadWholeFile(QAV_HANDLE handle) {
        Bytes out(1024);
        EXPECT_EQ(QAV_ReadFile(handle, kFile, 0, out.data(), 1024, nullptr, 0, 0), QAV_OK);
        return out;
    }
    static uint32_t Write(QAV_HANDLE handle, const Bytes& data, QAV_ProgressCallback progress,
                          uintptr_t user) {
        return QAV_WriteFile(handle, kFile, 0, data.data(), static_cast<uint32_t>(data.size()), 0,
                             nullptr, nullptr, progress, user, 0);
    }
    static void Control(const char* variable, const std::string& line) {
        std::ofstream(bench::Env(variable)) << line << '\n';
    }
    void StopService() {
        stopped_ = true;
        const std::string pid = "$(cat '" + bench::Env("QAVSEAL_BENCH_DIR") + "/pcscd.pid')";
        ASSERT_EQ(std::system(("kill -TERM " + pid + "; while kill -0 " + pid +
                               " 2>/dev/null; do sleep 0.05; done")
                                  .c_str()),
                  0);
    }
    void StartService() {
        stopped_ = false;
        ASSERT_EQ(std::system(bench::Env("QAVSEAL_PCSCD_RESTART").c_str()), 0);
    }
    // The rest of a file write runs after this (the progress report of the
    // first piece), inside the same export and its transaction.
    static uint32_t QAV_CALLBACK AfterFirstPiece(uint32_t percent, uintptr_t user, uint32_t) {
        auto* fault = reinterpret_cast<std::function<void()>*>(user);
        if (percent > 0 && *fault) {
            (*fault)();
            *fault = nullptr;
        }
        return 0;
    }

    bool stopped_ = false;
    std::promise<void> watchSeen_[2];  // [arrived]: two such reports
    int watchCounts_[2] = {};
    bench::PcscContext context_;
    const std::string first_ = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    const std::string second_ = bench::Env("QAVSEAL_READER_1");
};

// One export of each family, each on its own handle; those that need the
// PIN verify it first (a restarted service resets the card).
constexpr const char* kFamilies[] = {"device list", "open",       "transmit",    "lock",
                                     "random",      "file read",  "file write",  "seal",
                                     "picture",     "public key", "card cipher", "session key"};

template <typename Next>
uint32_t Then(uint32_t rc, Next&& next) {
    return rc != QAV_OK ? rc : next();
}

uint32_t RunFamily(size_t family, QAV_HANDLE h, const std::string& reader) {
    static const Bytes in = Pattern(32, 1);
    static const uint8_t challenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
    uint8_t out[300];
    uint32_t length = 200, status = 0, count = 0, block = 64;
    char** names = nullptr;
    QAV_SessionKey* key = nullptr;
    const auto pin = [&] { return QAV_VerifyPIN(h, kPin, &status, 0); };
    switch (family) {
        case 0:
            return QAV_GetDeviceList(&names, &count, 0);
        case 1:
            return Then(QAV_OpenDevice(reader.c_str(), &h, 0),
                        [&] { return QAV_CloseDevice(h, 0); });
        case 2:
            return QAV_Transmit(h, challenge, 5, out, &length, &status, 0);
        case 3:
            return Then(QAV_Lock(h, 0), [&] { return QAV_Unlock(h, 0); });
        case 4:
            return QAV_GenRandom(h, out, 20, 0);
        case 5:
            return QAV_ReadFile(h, kFile, 0, out, 300, nullptr, 0, 0);
        case 6:
            return Then(pin(), [&] {
                return QAV_WriteFile(h, 0xA0F3, 0, in.data(), 4, 0, nullptr, nullptr, nullptr, 0,
                                     0);
            });
        case 7:
            return Then(pin(), [&] {
                return QAV_SealSign(h, "QAV-SM2-Seal", in.data(), 32, nullptr, out, &length, 0);
            });
        case 8:
            return QAV_GetSealPic(h, 1, nullptr, &length, 0);
        case 9:
            return QAV_ExportPublicKey(h, 0, "QAV-SM2-Seal", 0, out, &length, out + 200, &block, 0);
        case 10:
            return QAV_CipherDataEncrypt(h, nullptr, 0, nullptr, 0, 0, in.data(), 32, out, &length,
                                         0);
        default:
            return Then(QAV_ImportSessionKey(h, 1, in.data(), 16, nullptr, &key, 0), [&] {
                const uint32_t used =
                    QAV_SessionKeyEncrypt(h, key, 0, 2, nullptr, 0, in.data(), 32, out, &length, 0);
                const uint32_t deleted = QAV_DelSessionKey(h, key, 0);
                return used != QAV_OK ? used : deleted;
            });
    }
}

// With the service stopped every export gives up within the retry budget
// (50 attempts 100 ms apart), all at once on their own handles; a watch is
// running and a device still closes. Once the service is back the same
// handles work without being opened again.
TEST_F(Faults, StoppedServiceFailsEveryFamilyInBudgetThenTheSameHandlesWork) {
    const size_t families = std::size(kFamilies);
    std::vector<QAV_HANDLE> handles;
    for (size_t i = 0; i < families; ++i) handles.push_back(Open(first_));
    const QAV_HANDLE closing = Open(second_);
    // Both keys reported present, then both gone.
    ASSERT_EQ(QAV_DetectDeviceChange(
                  [](const char*, uint32_t arrived, uintptr_t user, uint32_t) -> uint32_t {
                      auto* self = reinterpret_cast<decltype(this)>(user);
                      if (++self->watchCounts_[arrived] == 2) self->watchSeen_[arrived].set_value();
                      return 0;
                  },
                  reinterpret_cast<uintptr_t>(this)),
              QAV_OK);
    ASSERT_EQ(watchSeen_[1].get_future().wait_for(10s), std::future_status::ready);

    StopService();
    std::vector<std::future<std::pair<uint32_t, double>>> results;
    for (size_t i = 0; i < families; ++i) {
        results.push_back(std::async(std::launch::async, [&, i] {
            const Clock::time_point start = Clock::now();
            const uint32_t rc = RunFamily(i, handles[i], first_);
            return std::make_pair(rc, SecondsSince(start));
        }));
    }
    for (size_t i = 0; i < families; ++i) {
        const char* name = kFamilies[i];
        ASSERT_EQ(results[i].wait_for(20s), std::future_status::ready) << name;
        const auto [rc, seconds] = results[i].get();
        EXPECT_EQ(rc, kNoService) << name;
        EXPECT_LT(seconds, 7.0) << name;
        std::printf("%-12s %08X after %.1f s\n", name, rc, seconds);
    }
    ASSERT_EQ(watchSeen_[0].get_future().wait_for(10s), std::future_status::ready)
        << "the watch reported no removals";
    EXPECT_EQ(QAV_CloseDevice(closing, 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(closing, 0), QAV_E_INVALID_HANDLE);

    StartService();
    for (size_t i = 0; i < families; ++i) {
        EXPECT_EQ(RunFamily(i, handles[i], first_), QAV_OK) << kFamilies[i];
        EXPECT_EQ(QAV_CloseDevice(handles[i], 0), QAV_OK);
    }
    EXPECT_EQ(QAV_CancelDetectDeviceChange(1), QAV_OK);
}

// A restart resets the card: the file selected and the PIN verified before
// it are gone. The write ends at the first piece after the restart with the
// service's code (the lost connection), not with what the card would say
// about a piece sent to no file; the pieces before it stay written. Between
// two exports the restart is repaired, and the card answers for itself.
TEST_F(Faults, ServiceRestartedBetweenPiecesOfAWriteAndBeforeASealSign) {
    const QAV_HANDLE handle = Open(first_);
    ASSERT_EQ(Verify(handle), QAV_OK);
    const Bytes before = ReadWholeFile(handle);
    const Bytes written = Pattern(1000, static_cast<uint8_t>(before[0] + 1));
    std::function<void()> restart = [this] { StartService(); };
    const uint32_t rc =
        Write(handle, written, AfterFirstPiece, reinterpret_cast<uintptr_t>(&restart));
    EXPECT_TRUE(rc == kNoService || rc == kCommError || rc == kInvalidHandle) << std::hex << rc;
    ASSERT_EQ(Verify(handle), QAV_OK);
    Bytes expected = before;
    std::copy_n(written.begin(), 250, expected.begin());
    EXPECT_EQ(ReadWholeFile(handle), expected) << "not exactly the first piece written";

    StartService();
    const Bytes hash = Pattern(32, 3);
    uint8_t signature[64];
    uint32_t length = 64;
    EXPECT_EQ(QAV_SealSign(handle, "QAV-SM2-Seal", hash.data(), 32, nullptr, signature, &length, 0),
              QAV_CARD_STATUS(0x6982));
    ASSERT_EQ(Verify(handle), QAV_OK);
    EXPECT_EQ(QAV_SealSign(handle, "QAV-SM2-Seal", hash.data(), 32, nullptr, signature, &length, 0),
              QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
}

// A pulled card ends the export with the service's code and the device
// still closes or works on once the card is back. The write is pulled after
// its first piece, the encryption (five pieces) after two commands.
TEST_F(Faults, CardPulledInTheMiddleOfAWriteAndOfAnEncryption) {
    const Bytes input = Pattern(1024, 5);
    const std::vector<std::pair<const char*, std::function<uint32_t(QAV_HANDLE)>>> cases = {
        {"write",
         [&](QAV_HANDLE handle) {
             std::function<void()> pull = [&] {
                 Control("QAVSEAL_VCARD_CTL", "remove");
                 EXPECT_TRUE(context_.WaitForCard(first_, false, 5000));
             };
             EXPECT_EQ(Verify(handle), QAV_OK);
             return Write(handle, input, AfterFirstPiece, reinterpret_cast<uintptr_t>(&pull));
         }},
        {"encryption",
         [&](QAV_HANDLE handle) {
             QAV_SessionKey* key = nullptr;
             EXPECT_EQ(QAV_GetEnDeKeyHandle(handle, &key, 0), QAV_OK);
             Control("QAVSEAL_VCARD_CTL", "remove-after 2");
             Bytes out(1040);
             uint32_t length = 1040;
             return QAV_SessionKeyEncrypt(handle, key, 0, 2, nullptr, 0, input.data(), 1024,
                                          out.data(), &length, 0);
         }},
    };
    for (const auto& [name, run] : cases) {
        SCOPED_TRACE(name);
        QAV_HANDLE handle = Open(first_);
        const uint32_t rc = run(handle);
        // Before the service has seen the removal the command fails in the
        // driver, or comes back empty (no status word).
        EXPECT_TRUE(rc == kRemoved || rc == kNotTransacted || rc == QAV_E_UNEXPECTED_DATA)
            << std::hex << rc;
        ASSERT_TRUE(context_.WaitForCard(first_, false, 5000));
        // One handle is closed while the card is out, the other stays open
        // and reconnects once it is back.
        const bool reopen = std::string(name) == "encryption";
        if (reopen) {
            EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
        }
        Control("QAVSEAL_VCARD_CTL", "insert");
        ASSERT_TRUE(context_.WaitForCard(first_, true, 5000));
        if (reopen) handle = Open(first_);
        EXPECT_EQ(Verify(handle), QAV_OK);
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
    }
}

// Every answer of the first key comes 300 ms late. While one thread reads
// a file from it (five pieces), the second key's exports and the device
// list, on another thread beside a watch, each take far less than one
// late answer.
TEST_F(Faults, SlowCardHoldsUpNoOtherDevice) {
    const QAV_HANDLE slow = Open(first_);
    const QAV_HANDLE quick = Open(second_);
    ASSERT_EQ(QAV_DetectDeviceChange(
                  [](const char*, uint32_t, uintptr_t, uint32_t) -> uint32_t { return 0; }, 0),
              QAV_OK);
    Control("QAVSEAL_VCARD_CTL", "delay 300");
    std::atomic<bool> started{false};
    auto reading = std::async(std::launch::async, [&] {
        started = true;
        return ReadWholeFile(slow);
    });
    while (!started) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(100ms);  // its first command is on the card by now
    double longest = 0;
    for (int round = 0; round < 5; ++round) {
        const Clock::time_point start = Clock::now();
        uint8_t random[16];
        EXPECT_EQ(QAV_GenRandom(quick, random, 16, 0), QAV_OK);
        char** names = nullptr;
        uint32_t count = 0;
        EXPECT_EQ(QAV_GetDeviceList(&names, &count, 0), QAV_OK);
        EXPECT_EQ(count, 2u);
        longest = std::max(longest, SecondsSince(start));
    }
    EXPECT_EQ(reading.wait_for(0s), std::future_status::timeout) << "the slow read ended early";
    EXPECT_LT(longest, 0.2);
    std::printf("longest round on the other key: %.0f ms\n", longest * 1000);
    Control("QAVSEAL_VCARD_CTL", "delay 0");
    EXPECT_EQ(reading.get().size(), 1024u);
    EXPECT_EQ(QAV_CancelDetectDeviceChange(1), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(slow, 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(quick, 0), QAV_OK);
}

}  // namespace
