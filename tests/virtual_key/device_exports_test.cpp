// Device-level exports against the virtual key: the application probe as
// the card sees it, abilities and states from the key's own image, raw
// commands under T=0 and the security state.
#include <gtest/gtest.h>

#include <array>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/seal_application.h"
#include "support/known_commands.h"
#include "virtual_key_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;
using fake::FromHex;
using fake::ToHex;
using Commands = std::vector<std::string>;
using test::kPaymentApp1;
using test::kPaymentDirectory1;
using test::kSelectAbility;
using test::kSelectMaster;
using test::kSelectSeal;
using test::kTransports;
using test::WithTransport;

constexpr char kSelectPinMarker[] = "00 A4 00 00 02 10 11";
constexpr char kReadPinMarker[] = "00 B0 03 E7 01";

class KeyExportsTest : public test::VirtualKeyTest {
protected:
    // The default image with one top-level setting changed.
    static std::string ImageWith(const char* field, const nlohmann::json& value) {
        nlohmann::json image = nlohmann::json::parse(DefaultImage());
        image[field] = value;
        return image.dump();
    }
    // A raw command through QAV_Transmit, which should return result: its
    // status word, the data in *data.
    uint32_t Send(QAV_HANDLE handle, const std::string& hex, Bytes* data = nullptr,
                  uint32_t result = QAV_OK) {
        const Bytes command = FromHex(hex);
        Bytes response(256);
        auto length = static_cast<uint32_t>(response.size());
        uint32_t sw = 0;
        EXPECT_EQ(QAV_Transmit(handle, command.data(), static_cast<uint32_t>(command.size()),
                               response.data(), &length, &sw, 0),
                  result)
            << hex;
        response.resize(length);
        if (data != nullptr) *data = response;
        return sw;
    }
    // The tries query: QAV_OK while the PIN stands verified.
    uint32_t PinState(QAV_HANDLE handle, uint32_t* tries) {
        return Card(handle).VerifyPIN(0, nullptr, 0, tries, 1);
    }
    uint32_t State(QAV_HANDLE handle, uint32_t kind) {
        uint32_t state = 9;
        EXPECT_EQ(QAV_GetState(handle, kind, &state, 0), QAV_OK) << "kind " << kind;
        return state;
    }
};

TEST_F(KeyExportsTest, OpeningProbesAKeyOnceThenKnowsItsAtr) {
    for (const vcard::Transport transport : kTransports) {
        Insert(WithTransport(transport));
        pcsc.ResetCounts();
        QAV_HANDLE handle = 0;
        // Under T=0 the probe's 61xx counts as an answer; nothing is fetched.
        ASSERT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_OK);
        EXPECT_EQ(Sent(), Commands{kSelectSeal});
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
        pcsc.ResetCounts();
        ASSERT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_OK);
        EXPECT_TRUE(Sent().empty());
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
    }
}

TEST_F(KeyExportsTest, KeyWithoutTheApplicationIsRefusedUntilRegistered) {
    vcard::Options options;
    options.failProbe = true;
    Insert(options);
    QAV_HANDLE handle = 0;
    EXPECT_EQ(QAV_OpenDevice(kReader, &handle, 0), QAV_E_NO_DEVICE);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);

    Register();
    handle = Open();
    std::array<uint8_t, 64> info{};
    EXPECT_EQ(QAV_GetAbilityInfo(handle, info.data(), 0), QAV_CARD_STATUS(0x6A82u));
    EXPECT_EQ(Sent(), (Commands{kSelectAbility, kSelectSeal, kSelectMaster, kSelectSeal}));
    EXPECT_EQ(info, (std::array<uint8_t, 64>{}));
}

TEST_F(KeyExportsTest, ProbeSelectsByNameOnlyWhenTheAbilityFileIsOutOfReach) {
    Insert();
    Register();
    const QAV_HANDLE handle = Open();
    EXPECT_EQ(State(handle, 1), 0u);
    EXPECT_EQ(Sent(), (Commands{kSelectAbility, kSelectPinMarker, kReadPinMarker}));

    // From the master file the application's files cannot be selected.
    ASSERT_EQ(Send(handle, kSelectMaster), 0x9000u);
    pcsc.ResetCounts();
    EXPECT_EQ(State(handle, 1), 0u);
    EXPECT_EQ(Sent(), (Commands{kSelectAbility, kSelectSeal, kSelectPinMarker, kReadPinMarker}));

    pcsc.ResetCounts();
    EXPECT_EQ(State(handle, 2), 0u);
    EXPECT_EQ(SelectsSent(), 2u);  // 4000 and A0F3 only

    // The payment selections leave the card in another application.
    ASSERT_EQ(State(handle, 4), 1u);
    pcsc.ResetCounts();
    EXPECT_EQ(State(handle, 1), 0u);
    EXPECT_EQ(Sent(), (Commands{kSelectAbility, kSelectSeal, kSelectPinMarker, kReadPinMarker}));
}

TEST_F(KeyExportsTest, AbilitiesComeFromTheKeysImage) {
    for (const vcard::Transport transport : kTransports) {
        Insert(WithTransport(transport));
        const QAV_HANDLE handle = Open();
        Bytes expected = ImageFile(DefaultImage(), kAbilityFile);
        ASSERT_EQ(expected.size(), 64u);
        for (const size_t at : {0u, 2u, 4u, 17u, 19u, 21u, 24u})
            std::swap(expected[at], expected[at + 1]);
        Bytes info(64);
        ASSERT_EQ(QAV_GetAbilityInfo(handle, info.data(), 0), QAV_OK);
        EXPECT_EQ(ToHex(info), ToHex(expected));
        EXPECT_EQ(ToHex({info.begin(), info.begin() + 2}), "02 01");        // version 0102
        EXPECT_EQ(ToHex({info.begin() + 17, info.begin() + 19}), "00 08");  // 2048 bits

        uint32_t flag1 = 9, flag2 = 9;
        ASSERT_EQ(QAV_GetSealDeviceAbility(handle, &flag1, &flag2, 0), QAV_OK);
        EXPECT_EQ(flag1, 1u);
        EXPECT_EQ(flag2, 1u);
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
    }
}

TEST_F(KeyExportsTest, AbilityFlagsFollowTheKeysAbilityByte) {
    struct Case {
        int ability;
        uint32_t rc, flag1, flag2;
    };
    for (const Case c : {Case{0, QAV_OK, 0, 0}, Case{1, QAV_OK, 0, 1}, Case{2, QAV_OK, 1, 1},
                         Case{3, QAV_E_UNEXPECTED_DATA, 9, 9}}) {
        Insert({}, ImageWith("ability", c.ability));
        const QAV_HANDLE handle = Open();
        uint32_t flag1 = 9, flag2 = 9;
        EXPECT_EQ(QAV_GetSealDeviceAbility(handle, &flag1, &flag2, 0), c.rc) << c.ability;
        EXPECT_EQ(flag1, c.flag1) << c.ability;
        EXPECT_EQ(flag2, c.flag2) << c.ability;
        EXPECT_EQ(Sent(), Commands{kSelectSeal});
        EXPECT_EQ(QAV_CloseDevice(handle, 0), QAV_OK);
    }
}

TEST_F(KeyExportsTest, FileStatesFollowWhatTheKeyHolds) {
    Insert();
    const QAV_HANDLE handle = Open();
    EXPECT_EQ(State(handle, 1), 0u);
    EXPECT_EQ(State(handle, 2), 0u);
    uint32_t state = 9;
    EXPECT_EQ(QAV_GetState(handle, 3, &state, 0), QAV_E_NOT_SUPPORTED);

    VerifyPin(handle);
    ASSERT_EQ(WritePlain(handle, 0x1011, 999, 0x01), QAV_OK);
    ASSERT_EQ(FileNow(0x1011).at(999), 0x01);
    EXPECT_EQ(State(handle, 1), 1u);
    ASSERT_EQ(WritePlain(handle, 0x1011, 999, 0x02), QAV_OK);  // only 01 marks a changed PIN
    EXPECT_EQ(State(handle, 1), 0u);
    ASSERT_EQ(WritePlain(handle, 0xA0F3, 3, 0x05), QAV_OK);  // any non-zero byte of the four
    EXPECT_EQ(State(handle, 2), 1u);
}

TEST_F(KeyExportsTest, PaymentStateAndCardNumberComeFromTheFirstApplicationTheKeyHas) {
    Insert();
    QAV_HANDLE handle = Open();
    EXPECT_EQ(State(handle, 4), 1u);
    EXPECT_EQ(Sent(), (Commands{kPaymentDirectory1, kPaymentApp1}));
    // Its first record holds the card number.
    char number[17];
    uint32_t length = sizeof number;
    EXPECT_EQ(QAV_GetCardNumber(handle, number, &length, 0), QAV_OK);
    EXPECT_STREQ(number, "6225880012345678");

    // Under T=0 every selection's answer waits behind 61xx.
    Insert(WithTransport(vcard::Transport::T0),
           ImageWith("payment", {{"track2", ""}, {"aids", {"A000000333010106"}}}));
    handle = Open();
    EXPECT_EQ(State(handle, 4), 4u);
    EXPECT_EQ(pcsc.SentCommands().size(), 7u);  // two fetches among them

    // A T=0 key that wants Le: the retry's answer waits behind 61xx too.
    vcard::Options needsLe = WithTransport(vcard::Transport::T0);
    needsLe.paymentNeedsLe = true;
    Insert(needsLe);
    handle = Open();
    EXPECT_EQ(State(handle, 4), 1u);
    EXPECT_EQ(Sent(), (Commands{kPaymentDirectory1, std::string(kPaymentDirectory1) + " 00",
                                "00 C0 00 00 17", kPaymentApp1, std::string(kPaymentApp1) + " 00",
                                "00 C0 00 00 14"}));

    Insert({}, ImageWith("payment", {{"track2", ""}, {"aids", nlohmann::json::array()}}));
    handle = Open();
    uint32_t state = 9;
    EXPECT_EQ(QAV_GetState(handle, 4, &state, 0), QAV_E_NOT_FOUND);
    EXPECT_EQ(state, 9u);
}

TEST_F(KeyExportsTest, ClearSecureStateAndResetDropTheVerifiedPin) {
    Insert();
    const QAV_HANDLE handle = Open();
    uint32_t tries = 0;
    EXPECT_EQ(PinState(handle, &tries), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 6u);

    VerifyPin(handle);
    EXPECT_EQ(PinState(handle, &tries), QAV_OK);
    pcsc.ResetCounts();
    ASSERT_EQ(QAV_ClearSecureState(handle, 0), QAV_OK);
    EXPECT_EQ(Sent(), Commands{kSelectSeal});
    EXPECT_EQ(PinState(handle, &tries), QAV_E_PIN_WRONG);

    VerifyPin(handle);
    pcsc.ResetCounts();
    ASSERT_EQ(QAV_Reset(handle, 0), QAV_OK);
    EXPECT_EQ(Sent(), Commands{"00 4A 00 00 00"});
    EXPECT_EQ(pcsc.Count(Call::Reconnect), 0);  // the connection stays
    EXPECT_EQ(PinState(handle, &tries), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 6u);
}

}  // namespace
}  // namespace qav
