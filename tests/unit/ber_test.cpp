// Tag search and DER lengths over well-formed and hostile input.
#include "device/ber.h"

#include <gtest/gtest.h>

#include <cstddef>

#include "fake_pcsc/fake_card.h"

namespace qav {
namespace {

using fake::Bytes;
using fake::FromHex;

std::ptrdiff_t Offset(const Bytes& data, uint16_t tag) {
    const uint8_t* found = FindBerTag(data.data(), static_cast<uint32_t>(data.size()), tag);
    return found == nullptr ? -1 : found - data.data();
}

TEST(FindBerTagTest, WalksIntoConstructedAndOverPrimitiveElements) {
    const Bytes track = FromHex("70 13 57 11 62 22 58 00 00 00 00 01 D2 51 22 01 00 00 00 00 0F");
    EXPECT_EQ(Offset(track, 0x57), 2);
    EXPECT_EQ(Offset(FromHex("57 02 AA BB"), 0x57), 0);
    // A primitive element's value is stepped over, not searched.
    EXPECT_EQ(Offset(FromHex("5A 02 57 01 57 01 FF"), 0x57), 4);
    // Long form 81 in headers and primitives.
    EXPECT_EQ(Offset(FromHex("70 81 05 5A 81 01 00 57 00"), 0x57), 7);
    // Two-byte tags, as element and as the tag searched.
    EXPECT_EQ(Offset(FromHex("5F 20 02 41 42 9F 36 01 07"), 0x9F36), 5);
    EXPECT_EQ(Offset(FromHex("BF 0C 03 5F 2D 00"), 0x5F2D), 3);
}

TEST(FindBerTagTest, RefusesWhatItCannotWalk) {
    EXPECT_EQ(Offset(FromHex("70 82 01 00 57 01 00"), 0x57), -1);  // 82 length form
    EXPECT_EQ(Offset(FromHex("70 80 57 01 00"), 0x57), -1);        // indefinite form
    EXPECT_EQ(Offset(FromHex("57 01 00"), 0x0000), -1);
    EXPECT_EQ(Offset(FromHex("5F 20 01 00"), 0x4F20), -1);  // 4F is not a two-byte tag start
    EXPECT_EQ(FindBerTag(nullptr, 4, 0x57), nullptr);
    EXPECT_EQ(Offset(FromHex("5A 05 00"), 0x57), -1);  // runs past the end
    // Headers cut short, in exact-size blocks (ASan; the fuzz target tries the rest).
    for (const char* cut : {"70", "70 81", "5F 20"}) EXPECT_EQ(Offset(FromHex(cut), 0x57), -1);
}

TEST(DerTotalLengthTest, LongFormsOnly) {
    EXPECT_EQ(DerTotalLength(FromHex("30 82 05 10").data(), 4), 0x514u);
    EXPECT_EQ(DerTotalLength(FromHex("30 81 90").data(), 3), 0x93u);
    EXPECT_EQ(DerTotalLength(FromHex("30 45").data(), 2), 0u);
    EXPECT_EQ(DerTotalLength(FromHex("30 80 09").data(), 3), 0u);  // indefinite
    EXPECT_EQ(DerTotalLength(FromHex("30 89 00 00 00 00 00 00 00 00 01").data(), 11), 0u);
    EXPECT_EQ(DerTotalLength(FromHex("30 84 FF FF FF FF").data(), 6), 0u);  // beyond 32 bits
    EXPECT_EQ(DerTotalLength(FromHex("30 82 05").data(), 3), 0u);           // header cut short
    EXPECT_EQ(DerTotalLength(nullptr, 4), 0u);
}

}  // namespace
}  // namespace qav
