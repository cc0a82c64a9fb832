// Card answers as TLV: decoding one element and parsing a whole list must
// never read past the input, and whatever they accept re-encodes exactly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qavseal/qavseal.h"
#include "reader/tlv.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0x10000) return 0;
    const auto length = static_cast<uint32_t>(size);

    uint32_t elementSize = 0;
    qav::TlvElement element;
    if (qav::DecodeElement(data, length, &elementSize, &element) == QAV_OK) {
        Require(elementSize <= length);
        uint32_t encodedSize = 0;
        Require(qav::EncodeElement(&element, nullptr, &encodedSize) == QAV_OK);
        Require(encodedSize == elementSize);
        std::vector<uint8_t> encoded(encodedSize);
        Require(qav::EncodeElement(&element, encoded.data(), &encodedSize) == QAV_OK);
        Require(std::memcmp(encoded.data(), data, encodedSize) == 0);
    }

    qav::CTlvList list;
    const uint32_t rc = list.Parse(data, length);
    Require(list.Count() <= qav::CTlvList::kCapacity);
    Require(list.EncodingLength() <= length);
    // Whatever was accepted stands in the encoding exactly as in the input.
    Require(list.EncodingLength() == 0 ||
            std::memcmp(list.EncodingData(), data, list.EncodingLength()) == 0);
    if (rc == QAV_OK) Require(list.EncodingLength() == length);
    return 0;
}
