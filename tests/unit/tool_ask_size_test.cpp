// The tool's size query: how it sizes, retries and tells an operation
// without output, against a scripted export.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

#include "ask_size.h"

namespace qavtool {
namespace {

// An export whose size query reports the first size, and whose calls with a
// buffer answer the following ones in turn (the last one repeated). Records each call's capacity.
struct ScriptedExport {
    explicit ScriptedExport(std::vector<uint32_t> answerSizes) : sizes(std::move(answerSizes)) {}

    std::vector<uint32_t> sizes;
    std::vector<uint32_t> capacities;  // what each call offered
    std::vector<bool> withBuffer;
    size_t next = 0;

    uint32_t operator()(uint8_t* out, uint32_t* length) {
        capacities.push_back(*length);
        withBuffer.push_back(out != nullptr);
        const uint32_t size = sizes.at(out == nullptr ? 0 : std::min(++next, sizes.size() - 1));
        if (out == nullptr) {
            *length = size;
            return QAV_OK;
        }
        if (*length < size) {
            *length = size;
            return QAV_E_BUFFER_TOO_SMALL;
        }
        for (uint32_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i + 1);
        *length = size;
        return QAV_OK;
    }
};

TEST(ToolAskSizeTest, AsksWithANullBufferThenFillsExactlyThatSize) {
    ScriptedExport card({300});
    Bytes bytes;
    bool hasOutput = false;
    EXPECT_EQ(AskAndFill(&bytes, std::ref(card), &hasOutput), QAV_OK);
    EXPECT_TRUE(hasOutput);
    EXPECT_EQ(card.withBuffer, (std::vector<bool>{false, true}));
    EXPECT_EQ(card.capacities[1], 300u);
    ASSERT_EQ(bytes.size(), 300u);
    EXPECT_EQ(bytes.front(), 1);
    EXPECT_EQ(bytes.back(), static_cast<uint8_t>(300));
}

TEST(ToolAskSizeTest, AnAnswerThatGrewIsAskedAgainTwiceAtMost) {
    ScriptedExport grows({100, 120, 130});
    Bytes bytes;
    EXPECT_EQ(AskAndFill(&bytes, std::ref(grows)), QAV_OK);
    EXPECT_EQ(grows.capacities, (std::vector<uint32_t>{0xFFFFFFFFu, 100, 120, 130}));
    EXPECT_EQ(bytes.size(), 130u);

    ScriptedExport keepsGrowing({100, 120, 130, 140});
    EXPECT_EQ(AskAndFill(&bytes, std::ref(keepsGrowing)), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(keepsGrowing.capacities.size(), 4u);
    EXPECT_TRUE(bytes.empty());
}

TEST(ToolAskSizeTest, SlackLeavesRoomSoAShrinkingAnswerComesBackShort) {
    ScriptedExport card({100, 90});
    Bytes bytes;
    EXPECT_EQ(AskAndFill(&bytes, std::ref(card), nullptr, 16), QAV_OK);
    EXPECT_EQ(card.capacities[1], 116u);
    EXPECT_EQ(bytes.size(), 90u);
}

TEST(ToolAskSizeTest, NoSizeReportedMeansNoOutputAndNoSecondCall) {
    int calls = 0;
    const auto verify = [&](uint8_t*, uint32_t*) {
        ++calls;
        return QAV_OK;
    };
    Bytes bytes{1, 2, 3};
    bool hasOutput = true;
    EXPECT_EQ(AskAndFill(&bytes, verify, &hasOutput), QAV_OK);
    EXPECT_FALSE(hasOutput);
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(bytes.empty());
}

TEST(ToolAskSizeTest, AFailedQueryOrAnEmptyAnswerEndsWithoutABufferCall) {
    int calls = 0;
    const auto refuses = [&](uint8_t*, uint32_t*) {
        ++calls;
        return QAV_E_BAD_ALGORITHM;
    };
    Bytes bytes;
    EXPECT_EQ(AskAndFill(&bytes, refuses), QAV_E_BAD_ALGORITHM);
    EXPECT_EQ(calls, 1);

    ScriptedExport empty({0});
    EXPECT_EQ(AskAndFill(&bytes, std::ref(empty)), QAV_OK);
    EXPECT_EQ(empty.withBuffer, (std::vector<bool>{false}));
    EXPECT_TRUE(bytes.empty());
}

}  // namespace
}  // namespace qavtool
