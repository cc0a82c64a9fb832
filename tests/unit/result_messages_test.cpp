// Every result code of the public header has its own message in the tool.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "qavseal/qavseal.h"
#include "result_messages.h"

namespace {

TEST(ResultMessagesTest, EveryPublicCodeHasItsOwnMessage) {
    std::ifstream header(QAV_PUBLIC_HEADER);
    ASSERT_TRUE(header) << QAV_PUBLIC_HEADER;
    std::stringstream text;
    text << header.rdbuf();
    const std::string content = text.str();
    const std::regex define(R"(#define\s+(QAV_(?:OK|E_\w+))\s+(0x[0-9A-Fa-f]+)u)");
    int codes = 0;
    for (auto it = std::sregex_iterator(content.begin(), content.end(), define);
         it != std::sregex_iterator(); ++it) {
        const auto code = static_cast<uint32_t>(std::stoul((*it)[2].str(), nullptr, 16));
        EXPECT_TRUE(qavtool::HasOwnMessage(code)) << (*it)[1].str();
        ++codes;
    }
    EXPECT_GE(codes, 32);
}

TEST(ResultMessagesTest, FamiliesAreNamedWithTheirValue) {
    EXPECT_EQ(qavtool::DescribeResult(QAV_CARD_STATUS(0x6A82)),
              "The card answered with status word 6A82.");
    EXPECT_EQ(qavtool::DescribeResult(0x6F00), "Fetching the card's answer failed with status word 6F00.");
    EXPECT_EQ(qavtool::DescribeResult(0x801000FFu), "Smart-card service error 0x801000FF.");
    EXPECT_EQ(qavtool::DescribeResult(0xE01700FFu), "Library error 0xE01700FF.");
    EXPECT_EQ(qavtool::DescribeResult(0x8010002Eu), "No smart-card reader is attached.");
}

}  // namespace
