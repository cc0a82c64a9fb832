// Device-level exports over the fake service: opening and closing, raw
// commands, state questions and the ability flags.
#include <gtest/gtest.h>

#include "device/ability.h"
#include "qavseal/qavseal.h"
#include "support/known_commands.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;
using fake::FromHex;
using test::kPaymentApp1;
using test::kPaymentApp2;
using test::kPaymentApp3;
using test::kPaymentApp4;
using test::kPaymentDirectory1;
using test::kPaymentDirectory2;

class DeviceExportsTest : public test::OpenDeviceTest {
protected:
    uint32_t Transmit(QAV_HANDLE handle, const std::string& hex, Bytes* data, uint32_t* sw,
                      uint32_t capacity = 256) {
        const Bytes command = FromHex(hex);
        data->assign(capacity, 0);
        uint32_t length = capacity;
        const uint32_t rc =
            QAV_Transmit(handle, command.data(), static_cast<uint32_t>(command.size()),
                         data->data(), &length, sw, 0);
        if (rc == QAV_OK) data->resize(length);
        return rc;
    }
};

TEST_F(DeviceExportsTest, OpenPassesServiceErrors) {
    QAV_HANDLE handle = 0;
    EXPECT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_E_NO_DEVICE);  // empty reader
    EXPECT_EQ(QAV_OpenDevice("Nowhere", &handle, 0), 0x80100009u);
    EXPECT_EQ(handle, 0u);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);
}

// Each device has a context of its own (a thread waiting in one device's
// service call holds up no other device), given back when it closes.
TEST_F(DeviceExportsTest, OpeningTwiceGivesTwoHandlesEachOnItsOwnContext) {
    const QAV_HANDLE first = Open();
    QAV_HANDLE second = 0;
    ASSERT_EQ(QAV_OpenDevice(kReader, &second, 0), QAV_OK);
    EXPECT_NE(first, second);
    EXPECT_EQ(pcsc.OpenHandles(), 2u);
    EXPECT_EQ(pcsc.OpenContexts(), 3u);  // the factory's and one per device

    EXPECT_EQ(QAV_CloseDevice(first, 0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(first, 0), QAV_E_INVALID_HANDLE);
    EXPECT_EQ(pcsc.OpenHandles(), 1u);
    EXPECT_EQ(pcsc.OpenContexts(), 2u);
    uint32_t sw = 0;
    Bytes data;
    EXPECT_EQ(Transmit(first, "00 84 00 00 08", &data, &sw), QAV_E_INVALID_HANDLE);
    card->Expect("00 84 00 00 04", "01 02 03 04 90 00");
    EXPECT_EQ(Transmit(second, "00 84 00 00 04", &data, &sw), QAV_OK);
}

// A failed disconnect is reported, a lost service is not; either way the
// handle and the device's context are given back.
TEST_F(DeviceExportsTest, CloseReleasesTheHandleWhateverTheDisconnectAnswers) {
    for (const uint32_t disconnect : {0x8010000Bu, fake::kServiceGone}) {
        const QAV_HANDLE handle = Open();
        pcsc.Inject(Call::Disconnect, disconnect);
        EXPECT_EQ(QAV_CloseDevice(handle, 0), disconnect == 0x8010000Bu ? disconnect : QAV_OK);
        EXPECT_EQ(pcsc.OpenContexts(), 1u);
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_E_INVALID_HANDLE);
    }
}

TEST_F(DeviceExportsTest, LastFinalizeClosesDevicesStillOpen) {
    const QAV_HANDLE handle = Open();
    ASSERT_EQ(QAV_Finalize(0), QAV_OK);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);
    EXPECT_EQ(pcsc.OpenContexts(), 0u);
    ASSERT_EQ(QAV_Initialize(0), QAV_OK);
    EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_E_INVALID_HANDLE);
}

TEST_F(DeviceExportsTest, TransmitLeavesStatusWordsToTheCallerAndFetches61xx) {
    const QAV_HANDLE handle = Open({0x3B, 0x02, 0x14, 0x50}, 1);
    card->Expect("00 A4 00 00 02 7F 01", "6A 82")
        .Expect("00 B0 00 00 00", "61 10")
        .Expect("00 C0 00 00 10", "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 90 00")
        .Expect("00 B0 00 00 00", "61 10")
        .Expect("00 C0 00 00 10", "6A 86");
    Bytes data;
    uint32_t sw = 0;
    ASSERT_EQ(Transmit(handle, "00 A4 00 00 02 7F 01", &data, &sw), QAV_OK);
    EXPECT_EQ(sw, 0x6A82u);
    EXPECT_TRUE(data.empty());
    // An answer exactly as long as the caller's buffer fits.
    ASSERT_EQ(Transmit(handle, "00 B0 00 00 00", &data, &sw, 16), QAV_OK);
    EXPECT_EQ(data, FromHex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
    EXPECT_EQ(sw, 0x9000u);
    // A failed fetch is the bare status word.
    EXPECT_EQ(Transmit(handle, "00 B0 00 00 00", &data, &sw), 0x6A86u);
}

TEST_F(DeviceExportsTest, PaymentStateRetriesWithLeAfter6700) {
    const QAV_HANDLE handle = Open();
    card->Expect(kPaymentDirectory1, "67 00")
        .Expect(std::string(kPaymentDirectory1) + " 00", "6F 10 84 0E 90 00")
        .Expect(kPaymentApp1, "6A 82")
        .Expect(kPaymentApp2, "67 00")
        .Expect(std::string(kPaymentApp2) + " 00", "6A 82")
        .Expect(kPaymentApp3, "90 00");
    uint32_t state = 0;
    ASSERT_EQ(QAV_GetState(handle, 4, &state, 0), QAV_OK);
    EXPECT_EQ(state, 3u);
    // A failing resend (here its GET RESPONSE) moves on to the next command.
    card->Expect(kPaymentDirectory1, "67 00")
        .Expect(std::string(kPaymentDirectory1) + " 00", "61 10")
        .Expect("00 C0 00 00 10", "6A 86")
        .Expect(kPaymentDirectory2, "90 00")
        .Expect(kPaymentApp1, "90 00");
    ASSERT_EQ(QAV_GetState(handle, 4, &state, 0), QAV_OK);
    EXPECT_EQ(state, 1u);
}

TEST_F(DeviceExportsTest, PaymentStateWithoutDirectoryOrApplicationIsNotFound) {
    const QAV_HANDLE handle = Open();
    card->Expect(kPaymentDirectory1, "6A 82").Expect(kPaymentDirectory2, "6A 82");
    uint32_t state = 9;
    EXPECT_EQ(QAV_GetState(handle, 4, &state, 0), QAV_E_NOT_FOUND);
    card->Expect(kPaymentDirectory1, "6A 82")
        .Expect(kPaymentDirectory2, "90 00")
        .Expect(kPaymentApp1, "6A 82")
        .Expect(kPaymentApp2, "6A 82")
        .Expect(kPaymentApp3, "6A 82")
        .Expect(kPaymentApp4, "6A 82");
    EXPECT_EQ(QAV_GetState(handle, 4, &state, 0), QAV_E_NOT_FOUND);
    pcsc.RemoveCard(kReader);
    EXPECT_EQ(QAV_GetState(handle, 4, &state, 0), 0x80100069u);
    EXPECT_EQ(state, 9u);
}

struct AbilityCase {
    const char* answer;
    uint32_t rc;
    uint32_t flag1;
    uint32_t flag2;
};

TEST(AbilityDecodeTest, NestingAndMalformedAnswers) {
    const AbilityCase cases[] = {
        {"6F 08 A5 06 97 01 01 97 01 02", QAV_OK, 1, 1},     // the last 97 wins
        {"6F 04 A5 02 88 00", QAV_OK, 0, 0},                 // no 97: ability 0
        {"6F 04 A5 02 97 00", QAV_E_UNEXPECTED_DATA, 9, 9},  // 97 without a value
        {"6F 00", QAV_E_UNEXPECTED_DATA, 9, 9},              // no inner element
        {"6F 02 A5 00 84 00", QAV_E_UNEXPECTED_DATA, 9, 9},  // two outer elements
        {"", QAV_E_UNEXPECTED_DATA, 9, 9},
        {"6F 09 A5 03 97 01 02", QAV_E_UNEXPECTED_DATA, 9, 9},  // runs past the end
    };
    for (const AbilityCase& c : cases) {
        const Bytes answer = FromHex(c.answer);
        uint32_t flag1 = 9;
        uint32_t flag2 = 9;
        EXPECT_EQ(
            DecodeAbilityFlags(answer.data(), static_cast<uint32_t>(answer.size()), &flag1, &flag2),
            c.rc)
            << c.answer;
        EXPECT_EQ(flag1, c.flag1) << c.answer;
        EXPECT_EQ(flag2, c.flag2) << c.answer;
    }
}

}  // namespace
}  // namespace qav
