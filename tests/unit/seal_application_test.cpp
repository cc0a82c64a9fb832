// Making the seal application current before a card export, and the
// container table behind container names.
#include "device/seal_application.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pcsc.h"
#include "support/known_commands.h"
#include "support/open_device_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::FromHex;
using test::kPaymentApp1;
using test::kSelectAbility;
using test::kSelectMaster;
using test::kSelectSeal;

class SealApplicationTest : public test::OpenDeviceTest {
protected:
    static const CDevice& DeviceOf(QAV_HANDLE handle) {
        return *reinterpret_cast<const CDevice*>(handle);
    }
};

TEST_F(SealApplicationTest, ProbeSelectsTheAbilityFileThenByNameThenThroughTheMasterFile) {
    struct Case {
        uint32_t byNameOnly;
        std::vector<std::pair<const char*, const char*>> steps;
        uint32_t rc;
    };
    const Case cases[] = {
        // The master file's own failure does not end the probe.
        {0,
         {{kSelectAbility, "6A 82"},
          {kSelectSeal, "6A 82"},
          {kSelectMaster, "6D 00"},
          {kSelectSeal, "6A 81"}},
         QAV_CARD_STATUS(0x6A81u)},
        {1, {{kSelectSeal, "6A 82"}, {kSelectMaster, "90 00"}, {kSelectSeal, "90 00"}}, QAV_OK},
    };
    const QAV_HANDLE handle = Open();
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (const auto& [command, answer] : cases[i].steps) card->Expect(command, answer);
        EXPECT_EQ(SelectSealApplication(DeviceOf(handle), cases[i].byNameOnly, 0), cases[i].rc)
            << "case " << i;
        EXPECT_EQ(card->StepsLeft(), 0u) << "case " << i;
    }
}

TEST_F(SealApplicationTest, SkipSendsNothingAndReaderErrorsPassThrough) {
    const QAV_HANDLE handle = Open();
    EXPECT_EQ(SelectSealApplication(DeviceOf(handle), 0, 1), QAV_OK);
    pcsc.Inject(fake::Call::GetStatusChange, 0x80100009u, 1);
    EXPECT_EQ(SelectSealApplication(DeviceOf(handle), 0, 0), 0x80100009u);
    EXPECT_TRUE(pcsc.SentCommands().empty());
}

TEST_F(SealApplicationTest, KnownAtrsGetNoSelectionComparedOverTheirWholeLength) {
    for (const char* known : {"3B 7E 96 00 00 00 81 50 32 60 86 43 20 16 03 18 16 13 44",
                              "3B 7E 96 00 00 00 81 50 32 60 86 43 20 16 03 18 16 13 14",
                              "3B 7F 96 00 00 00 81 50 32 60 86 43 20 16 06 14 10 59 41 00",
                              "3B 7F 96 00 00 00 81 50 32 60 86 43 20 16 06 14 10 59 22 00",
                              "3B 7F 96 00 00 00 81 50 32 60 86 43 20 16 06 14 10 59 59 00"}) {
        EXPECT_EQ(SelectSealApplication(DeviceOf(Open(FromHex(known))), 0, 0), QAV_OK) << known;
    }
    EXPECT_TRUE(pcsc.SentCommands().empty());
    // The first known ATR with one more byte is a different card.
    const QAV_HANDLE handle =
        Open(FromHex("3B 7E 96 00 00 00 81 50 32 60 86 43 20 16 03 18 16 13 44 01"));
    card->Expect(kSelectAbility, "90 00");
    EXPECT_EQ(SelectSealApplication(DeviceOf(handle), 0, 0), QAV_OK);
}

// The probe needs the card's ATR. It is asked of the service once per
// connection, and again only after something that may have changed the
// card: a reset or removal the service reports, a reconnect.
uint32_t QAV_CALLBACK ResetAfterFirstPiece(uint32_t percent, uintptr_t service, uint32_t) {
    if (percent > 0) {
        reinterpret_cast<fake::FakePcsc*>(service)->Inject(fake::Call::Transmit,
                                                           platform::kScardResetCard);
    }
    return 0;
}

class ConnectionAtrTest : public SealApplicationTest {
protected:
    static constexpr char kChallenge[] = "00 84 00 00 10";

    // QAV_GenRandom of 16 bytes, the probe's selection first unless the
    // ATR is a known one.
    uint32_t Random(QAV_HANDLE handle, fake::ScriptedCard& on, bool probe = true) {
        if (probe) on.Expect(kSelectAbility, "90 00");
        on.Expect(kChallenge, fake::ToHex(Bytes(16, 0x11)) + " 90 00");
        uint8_t out[16] = {};
        return QAV_GenRandom(handle, out, sizeof out, 0);
    }
    int AtrQueries() const { return pcsc.Count(fake::Call::GetStatusChange); }
};

TEST_F(ConnectionAtrTest, AskedOncePerConnectionAndAgainAfterAResetOrReconnect) {
    const QAV_HANDLE handle = Open();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Random(handle, *card), QAV_OK);
    EXPECT_EQ(AtrQueries(), 1);

    struct Case {
        const char* name;
        std::function<void(fake::FakePcsc&)> fault;
    };
    const Case cases[] = {
        {"reset answered to the transaction",
         [](fake::FakePcsc& service) {
             service.Inject(fake::Call::BeginTransaction, platform::kScardResetCard);
         }},
        {"removed answered to the first command",
         [](fake::FakePcsc& service) {
             service.Inject(fake::Call::Transmit, platform::kScardRemovedCard);
         }},
        {"service restarted", [](fake::FakePcsc& service) { service.DropAllContexts(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pcsc.ResetCounts();
        c.fault(pcsc);
        ASSERT_EQ(Random(handle, *card), QAV_OK);
        EXPECT_EQ(pcsc.Count(fake::Call::Reconnect) + pcsc.Count(fake::Call::Connect), 1);
        // Asked in this export, or, where the probe had used the ATR before
        // the command that met the change, in the next.
        for (int i = 0; i < 2; ++i) ASSERT_EQ(Random(handle, *card), QAV_OK);
        EXPECT_EQ(AtrQueries(), 1);
    }

    // A reset after the export's first command ends it; the next export
    // asks again, though the service has nothing more to report.
    card->Expect(kSelectAbility, "90 00")
        .Expect("00 A4 00 00 02 10 11", "90 00")
        .Expect("00 B0 00 00 F0", fake::ToHex(Bytes(240, 0x5A)) + " 90 00");
    pcsc.ResetCounts();
    Bytes out(300);
    EXPECT_EQ(QAV_ReadFile(handle, 0x1011, 0, out.data(), 300, &ResetAfterFirstPiece,
                           reinterpret_cast<uintptr_t>(&pcsc), 0),
              platform::kScardResetCard);
    ASSERT_EQ(Random(handle, *card), QAV_OK);
    EXPECT_EQ(pcsc.Count(fake::Call::Reconnect), 0);
    EXPECT_EQ(AtrQueries(), 1);
}

TEST_F(ConnectionAtrTest, AnotherCardInTheReaderIsSeenAfterTheReconnect) {
    // A known card first: no selection.
    const Bytes known = FromHex("3B 7E 96 00 00 00 81 50 32 60 86 43 20 16 03 18 16 13 44");
    const QAV_HANDLE handle = Open(known);
    ASSERT_EQ(Random(handle, *card, false), QAV_OK);
    ASSERT_EQ(Random(handle, *card, false), QAV_OK);

    // Another card, one that needs the selection, in its place.
    const auto other = std::make_shared<fake::ScriptedCard>(Bytes{0x3B, 0x02, 0x14, 0x51});
    pcsc.RemoveCard(kReader);
    pcsc.InsertCard(kReader, other);
    pcsc.ResetCounts();
    EXPECT_EQ(Random(handle, *other), QAV_OK);
    EXPECT_EQ(other->StepsLeft(), 0u);
    EXPECT_EQ(pcsc.Count(fake::Call::Reconnect), 1);

    // And the known card back.
    pcsc.RemoveCard(kReader);
    pcsc.InsertCard(kReader, card);
    EXPECT_EQ(Random(handle, *card, false), QAV_OK);
    EXPECT_EQ(card->StepsLeft(), 0u);
    EXPECT_EQ(AtrQueries(), 2);
}

// Found by the export fuzz target: a selection answered with more than 200
// bytes failed the caller's operation with QAV_E_BUFFER_TOO_SMALL.
TEST_F(SealApplicationTest, SelectionAnswersOfAnyLengthAreNoFailure) {
    const std::string fci = fake::ToHex(Bytes(240, 0x6F)) + " 90 00";
    const QAV_HANDLE handle = Open();
    card->Expect(kSelectAbility, fci);
    EXPECT_EQ(SelectSealApplication(DeviceOf(handle), 0, 0), QAV_OK);

    card->Expect("00 A4 00 00 02 20 04", fci).Expect("00 B0 00 00 02", "AB CD 90 00");
    uint8_t out[2] = {};
    uint32_t length = sizeof out;
    EXPECT_EQ(ReadCardFile(DeviceOf(handle), 0x2004, 0, out, &length, nullptr, 0, 0), QAV_OK);
    EXPECT_EQ(fake::ToHex(out, length), "AB CD");

    card->Expect(kPaymentApp1, fci).Expect("00 B2 01 0C 00", "70 05 57 03 12 34 5D 90 00");
    char number[8] = {};
    length = sizeof number;
    EXPECT_EQ(QAV_GetCardNumber(handle, number, &length, 0), QAV_OK);
    EXPECT_STREQ(number, "12345");
}

void ExpectTableReads(fake::ScriptedCard& card, const std::string& count,
                      const std::string& table) {
    card.Expect("00 A4 00 00 02 30 01", "90 00").Expect("00 B0 00 00 01", count + " 90 00");
    if (!table.empty()) {
        card.Expect("00 A4 00 00 02 0F FF", "90 00").Expect("00 B0 00 00 78", table + " 90 00");
    }
}

TEST_F(SealApplicationTest, EmptyTableHoldsNoContainer) {
    const QAV_HANDLE handle = Open();
    uint32_t size = 7;
    ExpectTableReads(*card, "00", "");
    ASSERT_EQ(ReadContainerTable(DeviceOf(handle), nullptr, &size), QAV_OK);
    EXPECT_EQ(size, 0u);
    ExpectTableReads(*card, "00", "");
    ContainerRecord record;
    uint32_t index = 9;
    EXPECT_EQ(FindContainer(DeviceOf(handle), "", &record, &index), QAV_E_NO_CONTAINER);
    EXPECT_EQ(index, 9u);
}

TEST_F(SealApplicationTest, TableErrorsPassThrough) {
    const QAV_HANDLE handle = Open();
    ContainerRecord record;
    card->Expect("00 A4 00 00 02 30 01", "6A 82");
    EXPECT_EQ(FindContainer(DeviceOf(handle), "ABC", &record, nullptr), QAV_CARD_STATUS(0x6A82u));
    // The count claims more records than the table file gives back.
    card->Expect("00 A4 00 00 02 30 01", "90 00")
        .Expect("00 B0 00 00 01", "03 90 00")
        .Expect("00 A4 00 00 02 0F FF", "90 00")
        .Expect("00 B0 00 00 B4", "6B 00");
    EXPECT_EQ(FindContainer(DeviceOf(handle), "ABC", &record, nullptr), QAV_CARD_STATUS(0x6B00u));
    EXPECT_EQ(FindContainer(DeviceOf(handle), nullptr, &record, nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(FindContainer(DeviceOf(handle), "ABC", nullptr, nullptr), QAV_E_NULL_POINTER);
}

}  // namespace
}  // namespace qav
