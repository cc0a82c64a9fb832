// Every result code of the public header has its own message in the tool.
#include "result_messages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "qavseal/qavseal.h"

namespace {

TEST(ResultMessagesTest, EveryPublicCodeHasItsOwnMessage) {
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
        ++codes;
    }
    EXPECT_GE(codes, 32);
}

TEST(ResultMessagesTest, FamiliesAreNamedWithTheirValue) {
    EXPECT_EQ(qavtool::DescribeResult(QAV_CARD_STATUS(0x6A82)),
              "The card answered with status word 6A82.");
    EXPECT_EQ(qavtool::DescribeResult(0x6F00),
              "Fetching the card's answer failed with status word 6F00.");
    EXPECT_EQ(qavtool::DescribeResult(0x801000FFu), "Smart-card service error 0x801000FF.");
    EXPECT_EQ(qavtool::DescribeResult(0xE01700FFu), "Library error 0xE01700FF.");
    EXPECT_EQ(qavtool::DescribeResult(0x8010002Eu), "No smart-card reader is attached.");
}

}  // namespace
