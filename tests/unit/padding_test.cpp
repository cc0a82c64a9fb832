// Padding and unpadding in every mode, the size rules, in-place use, and
// seeded round trips.
#include "codec/padding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <random>
#include <vector>

#include "qavseal/qavseal.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;

std::vector<uint8_t> Padded(uint32_t mode, uint32_t blockSize, const std::vector<uint8_t>& in) {
    static const uint8_t kNothing = 0;  // an empty input still needs a pointer
    const uint8_t* data = in.empty() ? &kNothing : in.data();
    uint32_t length = 0;
    EXPECT_EQ(Pad(mode, blockSize, data, static_cast<uint32_t>(in.size()), nullptr, &length),
              QAV_OK);
    std::vector<uint8_t> out(length);
    EXPECT_EQ(Pad(mode, blockSize, data, static_cast<uint32_t>(in.size()), out.data(), &length),
              QAV_OK);
    EXPECT_EQ(length, out.size());
    return out;
}

// Unpads into a buffer larger than needed, prefilled, to see the tail cleared.
uint32_t Unpadded(uint32_t mode, uint32_t blockSize, const std::vector<uint8_t>& in,
                  std::vector<uint8_t>* out) {
    std::vector<uint8_t> buffer(in.size() + 4, 0xEE);
    auto length = static_cast<uint32_t>(buffer.size());
    const uint32_t rc =
        Unpad(mode, blockSize, in.data(), static_cast<uint32_t>(in.size()), buffer.data(), &length);
    if (rc == QAV_OK) {
        for (size_t i = length; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0) << i;
        buffer.resize(length);
        *out = buffer;
    }
    return rc;
}

TEST(PadTest, BlockModes) {
    const std::vector<uint8_t> eight = Bytes("01 02 03 04 05 06 07 08");
    const std::vector<uint8_t> five = Bytes("01 02 03 04 05");
    EXPECT_EQ(Hex(Padded(1, 8, eight)), "01 02 03 04 05 06 07 08 08 08 08 08 08 08 08 08");
    EXPECT_EQ(Hex(Padded(2, 8, five)), "01 02 03 04 05 03 03 03");
    EXPECT_EQ(Hex(Padded(3, 8, five)), "01 02 03 04 05 80 00 00");
    EXPECT_EQ(Hex(Padded(3, 8, eight)), "01 02 03 04 05 06 07 08 80 00 00 00 00 00 00 00");
    EXPECT_EQ(Hex(Padded(0, 16, five)), "01 02 03 04 05");
}

TEST(PadTest, SizesErrorsAndInPlace) {
    const std::vector<uint8_t> five = Bytes("01 02 03 04 05");
    uint32_t length = 7;
    std::vector<uint8_t> out(8, 0xAA);
    EXPECT_EQ(Pad(1, 8, five.data(), 5, out.data(), &length), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 8u);
    EXPECT_EQ(out[0], 0xAA);
    EXPECT_EQ(Pad(1, 8, nullptr, 5, out.data(), &length), QAV_E_NULL_POINTER);
    EXPECT_EQ(Pad(1, 8, five.data(), 5, out.data(), nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(Pad(1, 0, five.data(), 5, out.data(), &length), QAV_E_BAD_LENGTH);
    EXPECT_EQ(Pad(9, 8, five.data(), 5, out.data(), &length), QAV_E_PADDING);
    EXPECT_EQ(Pad(6, 8, five.data(), 5, nullptr, &length), QAV_E_PADDING);
    // One fill byte cannot count past 255.
    const std::vector<uint8_t> block(256, 0x01);
    for (const uint32_t mode : {1u, 2u}) {
        EXPECT_EQ(Pad(mode, 256, block.data(), 256, nullptr, &length), QAV_E_BAD_LENGTH);
        EXPECT_EQ(Unpad(mode, 256, block.data(), 256, nullptr, &length), QAV_E_BAD_LENGTH);
    }
    EXPECT_EQ(Pad(3, 256, block.data(), 256, nullptr, &length), QAV_OK);
    EXPECT_EQ(length, 512u);

    std::vector<uint8_t> inPlace = Bytes("11 22 33 00 00 00 00 00");
    length = 8;
    ASSERT_EQ(Pad(3, 4, inPlace.data(), 3, inPlace.data(), &length), QAV_OK);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(Hex(inPlace.data(), 4), "11 22 33 80");
}

TEST(PadTest, Pkcs1Blocks) {
    const std::vector<uint8_t> data(100, 0x5C);
    const std::vector<uint8_t> type1 = Padded(4, 128, data);
    ASSERT_EQ(type1.size(), 128u);
    EXPECT_EQ(Hex(type1.data(), 4), "00 01 FF FF");
    EXPECT_EQ(type1[27], 0x00);
    EXPECT_EQ(std::vector<uint8_t>(type1.begin() + 28, type1.end()), data);

    const std::vector<uint8_t> type2 = Padded(5, 128, data);
    ASSERT_EQ(type2.size(), 128u);
    EXPECT_EQ(Hex(type2.data(), 2), "00 02");
    EXPECT_EQ(type2[27], 0x00);
    EXPECT_EQ(std::vector<uint8_t>(type2.begin() + 28, type2.end()), data);

    // Long fillers: never a zero byte (about 7500 random bytes here, so a zero
    // left in place shows), and never the same twice.
    const std::vector<uint8_t> first = Padded(5, 256, {});
    for (int round = 0; round < 32; ++round) {
        const std::vector<uint8_t> filled = Padded(5, 256, {});
        ASSERT_EQ(std::count(filled.begin() + 2, filled.end() - 1, 0), 0) << round;
        ASSERT_NE(filled, first);
    }

    const std::vector<uint8_t> tooLong(118, 1);  // more than block size - 11
    uint32_t length = 128;
    std::vector<uint8_t> out(128, 0xAA);
    EXPECT_EQ(Pad(4, 128, tooLong.data(), 118, out.data(), &length), QAV_E_PADDING);
    EXPECT_EQ(Pad(5, 128, tooLong.data(), 118, out.data(), &length), QAV_E_PADDING);
    length = 10;
    EXPECT_EQ(Pad(4, 10, tooLong.data(), 0, out.data(), &length), QAV_E_PADDING);
    EXPECT_EQ(out[0], 0xAA);
}

TEST(UnpadTest, BlockModes) {
    std::vector<uint8_t> out;
    EXPECT_EQ(Unpadded(1, 8, Bytes("AA BB CC DD EE 03 03 03"), &out), QAV_OK);
    EXPECT_EQ(Hex(out), "AA BB CC DD EE");
    EXPECT_EQ(Unpadded(1, 8, Bytes("AA BB CC DD EE FF 02 03"), &out), QAV_E_PADDING);
    EXPECT_EQ(Unpadded(2, 4, Bytes("AA BB CC 00"), &out), QAV_OK);  // 0 removes nothing
    EXPECT_EQ(out.size(), 4u);
    EXPECT_EQ(Unpadded(1, 4, Bytes("AA BB CC 05"), &out), QAV_E_PADDING);
    EXPECT_EQ(Unpadded(1, 8, Bytes("01 01"), &out), QAV_E_PADDING);  // shorter than a block
    EXPECT_EQ(Unpadded(3, 8, Bytes("11 22 80 00 00 00 00 00"), &out), QAV_OK);
    EXPECT_EQ(Hex(out), "11 22");
    EXPECT_EQ(Unpadded(3, 4, Bytes("11 22 33 44 55 66 77 80"), &out), QAV_OK);
    EXPECT_EQ(Hex(out), "11 22 33 44 55 66 77");
    EXPECT_EQ(Unpadded(3, 4, Bytes("80 00 00 00 00 00 00 00"), &out), QAV_E_PADDING);
    EXPECT_EQ(Unpadded(3, 4, Bytes("11 22 81 00"), &out), QAV_E_PADDING);
    EXPECT_EQ(Unpadded(0, 4, Bytes("11 22 03"), &out), QAV_OK);
    EXPECT_EQ(Hex(out), "11 22 03");
}

// "head" then "fill" bytes up to the block size.
std::vector<uint8_t> Block(const char* head, uint32_t blockSize, uint8_t fill) {
    std::vector<uint8_t> block = Bytes(head);
    block.resize(blockSize, fill);
    return block;
}

TEST(UnpadTest, Pkcs1Blocks) {
    constexpr uint32_t kOk = QAV_OK;
    constexpr uint32_t kBad = QAV_E_PADDING;
    struct Case {
        const char* what;
        uint32_t mode;
        uint32_t blockSize;
        std::vector<uint8_t> block;
        uint32_t result;
        uint32_t dataLength;
    };
    const Case cases[] = {
        {"type 1, 8 FF", 4, 128, Block("00 01 FF FF FF FF FF FF FF FF 00", 128, 0x42), kOk, 117},
        {"first byte untested", 4, 128, Block("99 01 FF FF FF FF FF FF FF FF 00", 128, 1), kOk,
         117},
        {"type 2, empty data", 5, 12, Bytes("7F 02 01 02 03 04 05 06 07 08 09 00"), kOk, 0},
        {"type 2, long filler", 5, 64, Block("00 02 01 02 03 04 05 06 07 08 09 0A 0B 00", 64, 0),
         kOk, 50},
        {"type 1, 7 FF", 4, 128, Block("00 01 FF FF FF FF FF FF FF 00", 128, 0x42), kBad, 0},
        {"type 2, 7 filler", 5, 64, Block("00 02 01 02 03 04 05 06 07 00", 64, 0x42), kBad, 0},
        {"type 2, empty filler", 5, 64, Block("00 02 00", 64, 0x42), kBad, 0},
        {"type 1, FE in filler", 4, 128, Block("00 01 FF FF FF FE FF FF FF FF FF 00", 128, 3), kBad,
         0},
        {"type 1, no separator", 4, 128, Block("00 01", 128, 0xFF), kBad, 0},
        {"type 2, no separator", 5, 128, Block("00 02", 128, 0x5A), kBad, 0},
        {"type 1 read as type 2", 5, 128, Block("00 01 FF FF FF FF FF FF FF FF 00", 128, 1), kBad,
         0},
        {"type 2 read as type 1", 4, 64, Block("00 02 01 02 03 04 05 06 07 08 00", 64, 0), kBad, 0},
        {"block type 0", 4, 64, Block("00 00 FF FF FF FF FF FF FF FF 00", 64, 0), kBad, 0},
        {"shorter than a block", 4, 128, Block("00 01 FF FF FF FF FF FF FF FF 00", 127, 1), kBad,
         0},
        {"longer than a block", 4, 127, Block("00 01 FF FF FF FF FF FF FF FF 00", 128, 1), kBad, 0},
        {"block below 11 bytes", 5, 10, Bytes("00 02 01 02 03 04 05 06 07 00"), kBad, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> out;
        ASSERT_EQ(Unpadded(c.mode, c.blockSize, c.block, &out), c.result);
        uint32_t length = 0;
        EXPECT_EQ(Unpad(c.mode, c.blockSize, c.block.data(), static_cast<uint32_t>(c.block.size()),
                        nullptr, &length),
                  c.result);
        if (c.result != QAV_OK) continue;
        EXPECT_EQ(length, c.dataLength);
        EXPECT_EQ(out,
                  std::vector<uint8_t>(c.block.end() - static_cast<std::ptrdiff_t>(c.dataLength),
                                       c.block.end()));

        // In place: the data moves to the front and the rest is cleared.
        std::vector<uint8_t> inPlace = c.block;
        length = c.blockSize;
        ASSERT_EQ(Unpad(c.mode, c.blockSize, inPlace.data(), c.blockSize, inPlace.data(), &length),
                  QAV_OK);
        const auto used = static_cast<std::ptrdiff_t>(length);
        EXPECT_EQ(std::vector<uint8_t>(inPlace.begin(), inPlace.begin() + used), out);
        EXPECT_EQ(std::count(inPlace.begin() + used, inPlace.end(), 0),
                  static_cast<std::ptrdiff_t>(c.blockSize - length));
    }
}

TEST(UnpadTest, ArgumentsAndSizes) {
    const std::vector<uint8_t> in = Bytes("AA BB 02 02");
    uint32_t length = 1;
    std::vector<uint8_t> out(4, 0x77);
    EXPECT_EQ(Unpad(1, 4, nullptr, 4, out.data(), &length), QAV_E_NULL_POINTER);
    EXPECT_EQ(Unpad(1, 4, in.data(), 4, out.data(), nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(Unpad(1, 4, in.data(), 0, out.data(), &length), QAV_E_BAD_LENGTH);
    EXPECT_EQ(Unpad(1, 0, in.data(), 4, out.data(), &length), QAV_E_BAD_LENGTH);
    EXPECT_EQ(Unpad(9, 4, in.data(), 4, out.data(), &length), QAV_E_BAD_SELECTOR);
    EXPECT_EQ(Unpad(1, 4, in.data(), 4, out.data(), &length), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(out[0], 0x77);
}

TEST(PaddingPropertyTest, SeededRoundTripsInEveryMode) {
    std::mt19937 rng(4242);
    std::uniform_int_distribution<uint32_t> any(0, 0xFFFF);
    for (int round = 0; round < 3000; ++round) {
        const uint32_t mode = static_cast<uint32_t>(round % 6);
        const bool pkcs1 = mode >= 4;
        const uint32_t blockSize = pkcs1 ? 16 + any(rng) % 240 : 1 + any(rng) % 32;
        // Mode 0 cannot unpad an empty input (zero length is refused).
        const uint32_t length =
            pkcs1 ? any(rng) % (blockSize - 10) : (mode == 0 ? 1 : 0) + any(rng) % 100;
        std::vector<uint8_t> data(length);
        for (uint8_t& b : data) b = static_cast<uint8_t>(any(rng));
        const std::vector<uint8_t> padded = Padded(mode, blockSize, data);
        if (mode != 0) {
            ASSERT_TRUE(pkcs1 ? padded.size() == blockSize : padded.size() % blockSize == 0);
        }
        std::vector<uint8_t> out;
        ASSERT_EQ(Unpadded(mode, blockSize, padded, &out), QAV_OK)
            << "mode " << mode << " block " << blockSize << " length " << length;
        ASSERT_EQ(out, data) << "mode " << mode;
    }
}

}  // namespace
}  // namespace qav
