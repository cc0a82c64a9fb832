// TLV elements and lists: the length words, exact encodings, malformed card
// answers and the 256-element limit (round trips are the fuzz target's).
#include "reader/tlv.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "qavseal/qavseal.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;

std::vector<uint8_t> Encode(const TlvElement& element) {
    uint32_t size = 0;
    EXPECT_EQ(EncodeElement(&element, nullptr, &size), QAV_OK);
    std::vector<uint8_t> out(size);
    EXPECT_EQ(EncodeElement(&element, out.data(), &size), QAV_OK);
    EXPECT_EQ(size, out.size());
    return out;
}

TEST(TlvLengthTest, WordsAndValueLengths) {
    struct Case {
        uint32_t word, fieldBytes, valueLength;
    };
    for (const Case& c : {Case{0x00, 1, 0}, Case{0x7F, 1, 127}, Case{0x80, 1, 128},
                          Case{0x8190, 2, 0x90}, Case{0x8100, 2, 0}, Case{0x820100, 3, 0x100},
                          Case{0x83123456, 4, 0x123456}, Case{0x8181, 2, 0x81}}) {
        EXPECT_EQ(LengthFieldBytes(c.word), c.fieldBytes) << std::hex << c.word;
        EXPECT_EQ(ValueLength(c.word), c.valueLength) << std::hex << c.word;
    }
    EXPECT_EQ(LengthWordFor(5), 5u);
    EXPECT_EQ(LengthWordFor(0x90), 0x8190u);
    EXPECT_EQ(LengthWordFor(0x1234), 0x821234u);
    EXPECT_EQ(LengthWordFor(0x10000), 0x83010000u);
}

TEST(TlvElementTest, ShortAndLongFormsDecodeAndReencodeExactly) {
    const std::vector<uint8_t> shortForm = Bytes("C0 02 12 34");
    TlvElement element;
    uint32_t size = 0;
    ASSERT_EQ(DecodeElement(shortForm.data(), 4, &size, &element), QAV_OK);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(element.Tag(), 0xC0);
    EXPECT_EQ(element.LengthWord(), 2u);
    EXPECT_EQ(Hex(element.Value(), element.ValueLength()), "12 34");
    EXPECT_EQ(Encode(element), shortForm);

    std::vector<uint8_t> longForm = Bytes("70 81 90");
    for (uint32_t i = 0; i < 144; ++i) longForm.push_back(static_cast<uint8_t>(i));
    ASSERT_EQ(DecodeElement(longForm.data(), 147, &size, &element), QAV_OK);
    EXPECT_EQ(element.LengthWord(), 0x8190u);
    EXPECT_EQ(element.ValueLength(), 144u);
    EXPECT_EQ(size, 147u);
    EXPECT_EQ(element.Value()[143], 143);
    EXPECT_EQ(Encode(element), longForm);

    // A lone 80 is a one-byte length field worth 128.
    std::vector<uint8_t> lone = Bytes("5A 80");
    lone.resize(130, 0xEE);
    ASSERT_EQ(DecodeElement(lone.data(), 130, &size, nullptr), QAV_OK);
    EXPECT_EQ(size, 130u);
}

TEST(TlvElementTest, MalformedInputIsRefusedWithoutReadingPastIt) {
    uint32_t size = 0;
    TlvElement element;
    EXPECT_EQ(DecodeElement(nullptr, 4, &size, &element), QAV_E_UNEXPECTED_DATA);
    const std::vector<uint8_t> one = Bytes("C0");
    EXPECT_EQ(DecodeElement(one.data(), 1, &size, &element), QAV_E_UNEXPECTED_DATA);
    // Exact-size heap copies: ASan catches any read beyond them.
    for (const char* text : {"70 81", "70 82 01", "70 83 00 00"}) {
        const std::vector<uint8_t> header = Bytes(text);
        EXPECT_EQ(
            DecodeElement(header.data(), static_cast<uint32_t>(header.size()), &size, &element),
            QAV_E_UNEXPECTED_DATA)
            << text;
    }
    // Five length bytes do not fit the four-byte word.
    const std::vector<uint8_t> tooLong = Bytes("70 84 00 00 00 01 AA");
    EXPECT_EQ(DecodeElement(tooLong.data(), 7, &size, &element), QAV_E_UNEXPECTED_DATA);

    // A value running past the end: refused, but the size it claims is told.
    const std::vector<uint8_t> truncated = Bytes("C0 05 11 22");
    size = 0;
    EXPECT_EQ(DecodeElement(truncated.data(), 4, &size, &element), QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(size, 7u);
    const std::vector<uint8_t> huge = Bytes("C0 83 FF FF FF 00");
    EXPECT_EQ(DecodeElement(huge.data(), 6, &size, nullptr), QAV_E_UNEXPECTED_DATA);
}

TEST(TlvElementTest, EncodeChecksItsArgumentsAndTheBuffer) {
    const uint8_t value[3] = {1, 2, 3};
    const TlvElement element(0xC1, value, 3);
    uint32_t size = 0;
    EXPECT_EQ(EncodeElement(nullptr, nullptr, &size), QAV_E_NULL_POINTER);
    EXPECT_EQ(EncodeElement(&element, nullptr, nullptr), QAV_E_NULL_POINTER);
    uint8_t small[4] = {};
    size = sizeof(small);
    EXPECT_EQ(EncodeElement(&element, small, &size), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(Hex(small, 4), "00 00 00 00");

    const TlvElement fresh = NewElement(200);
    EXPECT_EQ(fresh.LengthWord(), 0x81C8u);
    EXPECT_EQ(fresh.ValueLength(), 200u);
    EXPECT_EQ(Hex(Encode(TlvElement(0xC2, nullptr, 3))), "C2 03 00 00 00");
    EXPECT_THROW(NewElement(kMaxValueLength + 1), std::length_error);
}

TEST(TlvListTest, AddKeepsOrderAndStopsAt256) {
    CTlvList list;
    const uint8_t v = 0x42;
    for (uint32_t i = 0; i < CTlvList::kCapacity; ++i) {
        const TlvElement element(static_cast<uint8_t>(i), &v, 1);
        ASSERT_EQ(list.Add(&element), QAV_OK) << i;
    }
    EXPECT_EQ(list.Count(), 256u);
    EXPECT_EQ(list.EncodingLength(), 256u * 3);
    EXPECT_EQ(Hex(list.EncodingData(), 6), "00 01 42 01 01 42");
    const TlvElement extra(0xFF, &v, 1);
    EXPECT_EQ(list.Add(&extra), QAV_E_TLV_FULL);
    EXPECT_EQ(list.Count(), 256u);
    EXPECT_EQ(list.EncodingLength(), 256u * 3);
    EXPECT_EQ(list.Add(nullptr), QAV_E_NULL_POINTER);
    ASSERT_NE(list.Get(255), nullptr);
    EXPECT_EQ(list.Get(255)->Tag(), 0xFF);
    EXPECT_EQ(list.Get(256), nullptr);
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.EncodingLength(), 0u);
    EXPECT_EQ(list.Get(0), nullptr);
}

TEST(TlvListTest, ParseKeepsBytesAsTheyStandAndStopsAtTheFirstError) {
    CTlvList list;
    EXPECT_EQ(list.Parse(nullptr, 3), QAV_E_NULL_POINTER);
    const uint8_t any = 0;
    EXPECT_EQ(list.Parse(&any, 0), QAV_OK);
    EXPECT_EQ(list.Count(), 0u);

    // A non-minimal long form (81 02) survives unchanged in the encoding.
    const std::vector<uint8_t> answer = Bytes("C1 81 02 AA BB C2 00 C3 05 01 02");
    EXPECT_EQ(list.Parse(answer.data(), static_cast<uint32_t>(answer.size())),
              QAV_E_UNEXPECTED_DATA);
    ASSERT_EQ(list.Count(), 2u);
    EXPECT_EQ(Hex(list.EncodingData(), list.EncodingLength()), "C1 81 02 AA BB C2 00");
    EXPECT_EQ(list.Get(0)->LengthWord(), 0x8102u);
    EXPECT_EQ(list.Get(1)->ValueLength(), 0u);

    CTlvList full;
    const std::vector<uint8_t> many(257 * 2, 0);  // 257 empty elements of tag 00
    EXPECT_EQ(full.Parse(many.data(), static_cast<uint32_t>(many.size())), QAV_E_TLV_FULL);
    EXPECT_EQ(full.Count(), 256u);
}

}  // namespace
}  // namespace qav
