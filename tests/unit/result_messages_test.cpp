// Every result code of the public header has its own message in the tool,
// and the card's status words read as sentences.
#include "result_messages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "qavseal/qavseal.h"

namespace {

TEST(ResultMessagesTest, EveryPublicCodeHasItsOwnNameAndMessage) {
    std::ifstream header(QAV_PUBLIC_HEADER);
    ASSERT_TRUE(header) << QAV_PUBLIC_HEADER;
    int codes = 0;
    std::string line;
    while (std::getline(header, line)) {
        std::istringstream words(line);
        std::string directive, name, value;
        words >> directive >> name >> value;
        if (directive != "#define" || value.rfind("0x", 0) != 0) continue;
        if (name != "QAV_OK" && name.rfind("QAV_E_", 0) != 0) continue;
        const auto code = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        EXPECT_TRUE(qavtool::HasOwnMessage(code)) << name;
        // The two internal failures carry the service's own names.
        if (code >> 16 == 0xE017 || code == QAV_OK) {
            EXPECT_EQ(qavtool::ResultName(code), name);
        }
        ++codes;
    }
    EXPECT_GE(codes, 32);
}

TEST(ResultMessagesTest, FamiliesAndStatusWords) {
    const struct {
        uint32_t code;
        const char* name;
        const char* message;
    } cases[] = {
        {QAV_CARD_STATUS(0x63C2), "QAV_CARD_STATUS(63C2)",
         "The card answered 63C2: wrong PIN, 2 tries left."},
        {QAV_CARD_STATUS(0x63C1), "QAV_CARD_STATUS(63C1)",
         "The card answered 63C1: wrong PIN, 1 try left."},
        {QAV_CARD_STATUS(0x63C0), "QAV_CARD_STATUS(63C0)",
         "The card answered 63C0: wrong PIN, no tries left."},
        {QAV_CARD_STATUS(0x6A82), "QAV_CARD_STATUS(6A82)",
         "The card answered 6A82: file or application not found."},
        {QAV_CARD_STATUS(0x6C10), "QAV_CARD_STATUS(6C10)",
         "The card answered 6C10: wrong expected length."},
        {QAV_CARD_STATUS(0x6789), "QAV_CARD_STATUS(6789)",
         "The card answered 6789: status word 6789."},
        {0x6F00, "status word 6F00",
         "Fetching the card's answer failed with 6F00: the card reports an internal error."},
        {0x80100009u, "SCARD_E_UNKNOWN_READER", "Unknown reader."},
        {0x801000FFu, "0x801000FF", "Smart-card service error 0x801000FF."},
        {0xE01700FFu, "0xE01700FF", "Library error 0xE01700FF."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qavtool::ResultName(c.code), c.name);
        EXPECT_EQ(qavtool::DescribeResult(c.code), c.message);
    }
}

}  // namespace
