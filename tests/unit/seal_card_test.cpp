// Seal card selection.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "card/seal/card_seal.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;
using test::ScriptedReader;

class SealCardTest : public ::testing::Test {
protected:
    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
};

TEST_F(SealCardTest, SelectByIdentifierAndByName) {
    reader.Expect("00 A4 02 00 02 3F 00", "90 00")
        .Expect("00 A4 00 00 02 40 00", "6F 03 84 01 02 90 00")
        .Expect("00 A4 04 00 08 A0 00 00 04 53 4B 4D 50", "90 00");
    uint32_t length = 0;
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x3F00, nullptr, &length, 1), QAV_OK);
    EXPECT_EQ(length, 0u);

    std::array<uint8_t, 8> fci{};
    length = fci.size();
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x4000, fci.data(), &length, 0), QAV_OK);
    EXPECT_EQ(Hex(fci.data(), length), "6F 03 84 01 02");

    const std::vector<uint8_t> aid = Bytes("A0 00 00 04 53 4B 4D 50");
    length = 0;
    EXPECT_EQ(card.SelectFile(1, aid.data(), 8, -1, nullptr, &length, 0), QAV_OK);
}

TEST_F(SealCardTest, SelectReportsSizesAndFailures) {
    reader.Expect("00 A4 00 00 02 10 11", "6F 03 84 01 02 90 00")
        .Expect("00 A4 00 00 02 10 11", "6F 03 84 01 02 90 00")
        .Expect("00 A4 00 00 02 10 12", "6A 82");
    uint32_t length = 99;
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x1011, nullptr, &length, 0), QAV_OK);
    EXPECT_EQ(length, 5u);

    std::array<uint8_t, 4> small{};
    length = small.size();
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x1011, small.data(), &length, 0),
              QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(Hex(small.data(), small.size()), "00 00 00 00");

    length = 77;
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x1012, nullptr, &length, 0), 0xE0186A82u);
    EXPECT_EQ(length, 77u);
}

TEST_F(SealCardTest, SelectChecksArgumentsInOrderAndSendsNothing) {
    const uint8_t name[1] = {0xA0};
    uint32_t length = 0;
    EXPECT_EQ(card.SelectFile(2, nullptr, 0, -5, nullptr, nullptr, 0), QAV_E_BAD_SELECTOR);
    EXPECT_EQ(card.SelectFile(1, name, 0, 0, nullptr, &length, 0), QAV_E_BAD_LENGTH);
    // A name that comes along is checked whatever the selector; without one
    // the identifier is.
    EXPECT_EQ(card.SelectFile(0, name, 256, 0x3F00, nullptr, &length, 0), QAV_E_BAD_LENGTH);
    EXPECT_EQ(card.SelectFile(1, nullptr, 0, 0x10000, nullptr, &length, 0), QAV_E_ID_TOO_LARGE);
    EXPECT_EQ(card.SelectFile(1, nullptr, 0, 0, nullptr, &length, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.SelectFile(1, nullptr, 8, 0, nullptr, &length, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.SelectFile(0, name, 1, 0x10000, nullptr, &length, 0), QAV_E_ID_TOO_LARGE);
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, -1, nullptr, nullptr, 0), QAV_E_ID_TOO_LARGE);
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x10000, nullptr, &length, 0), QAV_E_ID_TOO_LARGE);
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0xFFFF, nullptr, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.SelectFile(1, name, 1, 0, nullptr, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
}

}  // namespace
}  // namespace qav
