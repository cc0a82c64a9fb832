// Hexadecimal conversions and byte reversal.
#include "codec/hex.h"

#include <gtest/gtest.h>

#include <vector>

#include "qavseal/qavseal.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Hex;

TEST(BytesToHexTest, UpperCaseWithNul) {
    const uint8_t in[2] = {0x3B, 0xA0};
    uint32_t length = 0;
    EXPECT_EQ(BytesToHex(in, 2, nullptr, &length), QAV_OK);
    EXPECT_EQ(length, 5u);
    char out[5] = {'x', 'x', 'x', 'x', 'x'};
    length = 4;
    EXPECT_EQ(BytesToHex(in, 2, out, &length), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(BytesToHex(in, 2, out, &length), QAV_OK);
    EXPECT_STREQ(out, "3BA0");
    EXPECT_EQ(BytesToHex(nullptr, 2, out, &length), QAV_E_NULL_POINTER);
    EXPECT_EQ(BytesToHex(in, 2, out, nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(BytesToHex(in, 0, out, &length), QAV_E_BAD_LENGTH);
}

TEST(HexToBytesTest, EitherCaseAndTheSizeRules) {
    uint8_t out[2] = {};
    uint32_t length = 2;
    EXPECT_EQ(HexToBytes("3ba0", out, &length), QAV_OK);  // either case: the fuzz target
    EXPECT_EQ(Hex(out, 2), "3B A0");
    EXPECT_EQ(length, 2u);

    EXPECT_EQ(HexToBytes("00112233", nullptr, &length), QAV_OK);
    EXPECT_EQ(length, 4u);
    length = 3;
    EXPECT_EQ(HexToBytes("00112233", out, &length), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(HexToBytes("ABC", out, &length), QAV_E_BAD_LENGTH);
    EXPECT_EQ(HexToBytes("", out, &length), QAV_E_BAD_LENGTH);
    EXPECT_EQ(HexToBytes(nullptr, out, &length), QAV_E_NULL_POINTER);
    EXPECT_EQ(HexToBytes("AB", out, nullptr), QAV_E_NULL_POINTER);
}

TEST(HexToBytesTest, BadDigitLeavesThePartialResult) {
    uint8_t out[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    uint32_t length = 4;
    EXPECT_EQ(HexToBytes("12345G78", out, &length), QAV_E_CONVERSION);
    EXPECT_EQ(Hex(out, 4), "12 34 EE EE");
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(HexToBytes("3G", out, &length), QAV_E_CONVERSION);
    EXPECT_EQ(HexToBytes("G3", out, &length), QAV_E_CONVERSION);
    EXPECT_EQ(HexToBytes("12 3", out, &length), QAV_E_CONVERSION);
}

TEST(ReverseBytesTest, CopiesInPlaceAndOverlapping) {
    const uint8_t src[4] = {1, 2, 3, 4};
    uint8_t dst[4] = {};
    EXPECT_EQ(ReverseBytes(dst, src, 4), QAV_OK);
    EXPECT_EQ(Hex(dst, 4), "04 03 02 01");
    EXPECT_EQ(ReverseBytes(dst, dst, 3), QAV_OK);
    EXPECT_EQ(Hex(dst, 4), "02 03 04 01");
    uint8_t overlap[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(ReverseBytes(overlap + 1, overlap, 4), QAV_OK);
    EXPECT_EQ(Hex(overlap, 5), "01 04 03 02 01");
    EXPECT_EQ(ReverseBytes(dst, src, 0), QAV_OK);
    EXPECT_EQ(ReverseBytes(nullptr, src, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(ReverseBytes(dst, nullptr, 4), QAV_E_NULL_POINTER);
}

}  // namespace
}  // namespace qav
