// Listing readers with a usable card: sizes, probes, rejected ATRs.
#include <gtest/gtest.h>

#include <filesystem>

#include "qavseal/qavseal.h"
#include "reader/card_database.h"
#include "reader/reader_pcsc.h"
#include "support/known_commands.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::Call;
using test::kSelectSeal;

const Bytes kAtr = {0x3B, 0x02, 0x14, 0x50};

class ReaderListingTest : public test::ServiceTest {
protected:
    void SetUp() override { ASSERT_EQ(reader.EstablishContext(0), 0u); }

    // The filtered list as a vector of names, and its size.
    std::vector<std::string> List(uint32_t* size = nullptr, uint32_t filter = 1) {
        uint32_t length = 0;
        EXPECT_EQ(reader.ListReaders(nullptr, &length, filter, 0), 0u);
        std::vector<char> buffer(length);
        EXPECT_EQ(reader.ListReaders(buffer.data(), &length, filter, 0), 0u);
        if (size != nullptr) *size = length;
        std::vector<std::string> names;
        for (size_t at = 0; at < buffer.size() && buffer[at] != '\0';) {
            names.emplace_back(&buffer[at]);
            at += names.back().size() + 1;
        }
        EXPECT_EQ(pcsc.OutstandingAllocations(), 0u);
        return names;
    }

    CReaderPCSC reader;
};

TEST_F(ReaderListingTest, NoReadersGivesTwoNulsAndNoUsableOneNul) {
    uint32_t size = 0;
    EXPECT_TRUE(List(&size).empty());
    EXPECT_EQ(size, 2u);
    pcsc.AddReader("ADM Empty");
    EXPECT_TRUE(List(&size).empty());
    EXPECT_EQ(size, 1u);
    // Unfiltered, the list is the service's, and nothing is connected.
    pcsc.AddReader("Other Reader");
    EXPECT_EQ(List(&size, 0), (std::vector<std::string>{"ADM Empty", "Other Reader"}));
    EXPECT_EQ(size, sizeof "ADM Empty" + sizeof "Other Reader" + 1);
    EXPECT_EQ(pcsc.Count(Call::Connect), 0);
}

TEST_F(ReaderListingTest, SizeQueryAndBufferOneByteShort) {
    pcsc.AddReader("ADM One");
    pcsc.InsertCard("ADM One", std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00}));
    uint32_t length = 0;
    EXPECT_EQ(reader.ListReaders(nullptr, nullptr, 1, 0), QAV_E_NULL_POINTER);
    ASSERT_EQ(reader.ListReaders(nullptr, &length, 1, 0), 0u);
    EXPECT_EQ(length, sizeof "ADM One" + 1);
    std::vector<char> buffer(length, 'x');
    uint32_t shortLength = length - 1;
    EXPECT_EQ(reader.ListReaders(buffer.data(), &shortLength, 1, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortLength, length);
    EXPECT_EQ(buffer[0], 'x');  // nothing copied
}

TEST_F(ReaderListingTest, ProbedCardIsListedAndRegisteredThenListedWithoutConnecting) {
    pcsc.AddReader("ADM Seal A");
    auto card = std::make_shared<fake::ScriptedCard>(kAtr);
    card->Expect(kSelectSeal, "90 00");
    pcsc.InsertCard("ADM Seal A", card);

    EXPECT_EQ(List(), (std::vector<std::string>{"ADM Seal A"}));
    // The size query probed and registered it; the listing proper found it registered.
    EXPECT_EQ(pcsc.Count(Call::Connect), 1);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);

    pcsc.ResetCounts();
    EXPECT_EQ(List(), (std::vector<std::string>{"ADM Seal A"}));
    EXPECT_EQ(pcsc.Count(Call::Connect), 0);
    EXPECT_TRUE(pcsc.SentCommands().empty());
}

TEST_F(ReaderListingTest, ACardRegisteredByTheProbeIsKnownInTheNextReaderAtOnce) {
    // A store that exists, with its entries in memory.
    const uint8_t other[] = {0x3B, 0x7F};
    ASSERT_EQ(RegisterCard("Other", other, 2, other, 2, "P", "M"), 0u);
    ASSERT_EQ(IsCardRegistered(other, 2), 1u);
    pcsc.AddReader("ADM Seal A");
    pcsc.AddReader("ADM Seal B");
    auto first = std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00});
    auto twin = std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00});
    pcsc.InsertCard("ADM Seal A", first);
    pcsc.InsertCard("ADM Seal B", twin);
    std::vector<char> names;
    ASSERT_EQ(reader.ListReaderNames(&names, 1), 0u);
    EXPECT_EQ(names,
              (std::vector<char>{'A', 'D', 'M', ' ', 'S', 'e', 'a', 'l', ' ', 'A',  '\0', 'A',
                                 'D', 'M', ' ', 'S', 'e', 'a', 'l', ' ', 'B', '\0', '\0'}));
    EXPECT_EQ(pcsc.Count(Call::Connect), 1);
    EXPECT_EQ(first->commands.size(), 1u);
    EXPECT_TRUE(twin->commands.empty());
}

TEST_F(ReaderListingTest, RejectedAtrIsRememberedAndNotProbedAgain) {
    pcsc.AddReader("ADM Foreign");
    auto card = std::make_shared<fake::FixedCard>(kAtr, Bytes{0x6A, 0x82});
    pcsc.InsertCard("ADM Foreign", card);
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(card->commands.size(), 1u);
    EXPECT_EQ(reader.RejectedAtrCount(), 1u);
    EXPECT_EQ(pcsc.OpenHandles(), 0u);

    pcsc.ResetCounts();
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(card->commands.size(), 1u);
    EXPECT_EQ(pcsc.Count(Call::Connect), 0);

    // Another card with the same ATR in another reader is skipped too.
    pcsc.AddReader("ADM Second");
    auto twin = std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00});
    pcsc.InsertCard("ADM Second", twin);
    EXPECT_TRUE(List().empty());
    EXPECT_TRUE(twin->commands.empty());
}

#ifndef _WIN32
// The card database only says which ATRs passed a probe: a card that stays in
// its reader keeps its verdict, even when its entry goes (the store then
// changes under the listing); taken out and put back, it is looked up again.
// Each listing runs on a copy, as the factory's do.
TEST_F(ReaderListingTest, ACardStillInItsReaderKeepsItsVerdictAcrossListingCopies) {
    const auto listOnCopy = [&] {
        CReaderPCSC lister(reader);
        lister.TakeListingMemoryFrom(reader);
        std::vector<char> names;
        EXPECT_EQ(lister.ListReaderNames(&names, 1), 0u);
        reader.TakeListingResults(lister);
        return std::string(names.begin(), names.end());
    };
    RegisterAtr(kAtr);
    pcsc.AddReader("ADM Seal A");
    // Not a seal card: only its registration lists it.
    const auto card = std::make_shared<fake::FixedCard>(kAtr, Bytes{0x6A, 0x82});
    pcsc.InsertCard("ADM Seal A", card);
    EXPECT_EQ(listOnCopy(), std::string("ADM Seal A\0\0", 12));

    char entry[260];
    CardEntryName(kAtr.data(), static_cast<uint32_t>(kAtr.size()), entry);
    ASSERT_TRUE(std::filesystem::remove_all(
        registry.StorePath(std::string(kCardDatabaseKey) + "\\" + entry)));
    RegisterAtr(Bytes{0x3B, 0x7F});  // counts a change, so the store is read again
    ASSERT_EQ(IsCardRegistered(kAtr.data(), 4), 0u);
    EXPECT_EQ(listOnCopy(), std::string("ADM Seal A\0\0", 12));
    EXPECT_EQ(pcsc.Count(Call::Connect), 0);

    pcsc.RemoveCard("ADM Seal A");
    EXPECT_EQ(listOnCopy(), std::string("\0", 1));
    pcsc.InsertCard("ADM Seal A", card);
    EXPECT_EQ(listOnCopy(), std::string("\0", 1));
    EXPECT_EQ(pcsc.Count(Call::Connect), 1);
    EXPECT_EQ(card->commands.size(), 1u);
}
#endif

TEST_F(ReaderListingTest, DzyzReaderRegistersWithoutAnyCommand) {
    pcsc.AddReader("DZYZ Key 0");
    auto card = std::make_shared<fake::FixedCard>(kAtr, Bytes{0x6D, 0x00});
    pcsc.InsertCard("DZYZ Key 0", card);
    EXPECT_EQ(List(), (std::vector<std::string>{"DZYZ Key 0"}));
    EXPECT_TRUE(card->commands.empty());
    EXPECT_EQ(IsCardRegistered(kAtr.data(), 4), 1u);
}

TEST_F(ReaderListingTest, KeepsServiceOrderAndSkipsEmptyAndFailingReaders) {
    pcsc.AddReader("ADM First");
    pcsc.AddReader("ADM Empty");
    pcsc.AddReader("ADM Third");
    pcsc.InsertCard("ADM First", std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00}));
    pcsc.InsertCard("ADM Third",
                    std::make_shared<fake::FixedCard>(Bytes{0x3B, 0x01}, Bytes{0x90, 0x00}));
    EXPECT_EQ(List(), (std::vector<std::string>{"ADM First", "ADM Third"}));

    // A reader gone since the list fails the query of all readers; then each
    // is asked on its own, and one whose query fails is skipped.
    pcsc.Inject(Call::GetStatusChange, 0x80100009u, 2);  // unknown reader
    char buffer[64];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(reader.ListReaders(buffer, &length, 1, 0), 0u);
    EXPECT_EQ(std::string(buffer, length), std::string("ADM Third\0\0", 11));
}

TEST_F(ReaderListingTest, ListingErrorsAndTheFreeFailure) {
    pcsc.AddReader("ADM One");
    pcsc.Inject(Call::ListReaders, 0x80100017u);  // reader unavailable
    uint32_t length = 0;
    EXPECT_EQ(reader.ListReaders(nullptr, &length, 1, 0), 0x80100017u);
    // The unfiltered list is the service's own block, handed back.
    pcsc.Inject(Call::FreeMemory, 0x80100004u);  // invalid parameter
    EXPECT_EQ(reader.ListReaders(nullptr, &length, 0, 0), 0x80100004u);
}

TEST_F(ReaderListingTest, LostContextDuringListingIsRecovered) {
    pcsc.AddReader("ADM One");
    pcsc.InsertCard("ADM One", std::make_shared<fake::FixedCard>(kAtr, Bytes{0x90, 0x00}));
    pcsc.DropAllContexts();
    EXPECT_EQ(List(), (std::vector<std::string>{"ADM One"}));
    EXPECT_EQ(Sleeps().size(), 1u);
}

}  // namespace
}  // namespace qav
