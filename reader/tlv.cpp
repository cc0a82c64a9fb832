#include "reader/tlv.h"

#include <algorithm>
#include <stdexcept>

#include "qavseal/qavseal.h"

namespace qav {

namespace {

constexpr uint32_t kMaxLengthFieldBytes = 4;

}  // namespace

uint32_t LengthFieldBytes(uint32_t lengthWord) noexcept {
    uint32_t bytes = 4;
    while (bytes > 1 && (lengthWord >> (8 * (bytes - 1))) == 0) --bytes;
    return bytes;
}

uint32_t ValueLength(uint32_t lengthWord) noexcept {
    // The first byte above 0x80 from the top is a long-form marker; a lone
    // 0x80 therefore stands for 128.
    for (uint32_t shift = 24;; shift -= 8) {
        if (((lengthWord >> shift) & 0xFFu) > 0x80u) return lengthWord & ~(0xFFu << shift);
        if (shift == 0) return lengthWord;
    }
}

uint32_t LengthWordFor(uint32_t valueLength) noexcept {
    if (valueLength < 0x80) return valueLength;
    if (valueLength <= 0xFF) return 0x8100u | valueLength;
    if (valueLength <= 0xFFFF) return 0x820000u | valueLength;
    if (valueLength <= kMaxValueLength) return 0x83000000u | valueLength;
    return 0;  // beyond what a four-byte word can carry
}

TlvElement::TlvElement(uint8_t tag, uint32_t lengthWord)
    : tag_(tag), lengthWord_(lengthWord), value_(qav::ValueLength(lengthWord), 0) {}

TlvElement::TlvElement(uint8_t tag, const uint8_t* value, uint32_t valueLength)
    : tag_(tag), lengthWord_(LengthWordFor(valueLength)) {
    if (valueLength > kMaxValueLength) throw std::length_error("TLV value too long to encode");
    if (value != nullptr) {
        value_.assign(value, value + valueLength);
    } else {
        value_.assign(valueLength, 0);
    }
}

TlvElement NewElement(uint32_t valueLength) { return TlvElement(0, nullptr, valueLength); }

uint32_t EncodeElement(const TlvElement* element, uint8_t* out, uint32_t* size) {
    if (element == nullptr || size == nullptr) return QAV_E_NULL_POINTER;
    const uint32_t fieldBytes = LengthFieldBytes(element->LengthWord());
    const uint64_t needed = uint64_t{1} + fieldBytes + element->ValueLength();
    if (needed > 0xFFFFFFFFu) return QAV_E_BAD_LENGTH;
    const auto total = static_cast<uint32_t>(needed);
    if (out == nullptr) {
        *size = total;
        return QAV_OK;
    }
    if (*size < total) {
        *size = total;
        return QAV_E_BUFFER_TOO_SMALL;
    }
    *out++ = element->Tag();
    for (uint32_t i = fieldBytes; i > 0; --i) {
        *out++ = static_cast<uint8_t>(element->LengthWord() >> (8 * (i - 1)));
    }
    std::copy_n(element->Value(), element->ValueLength(), out);
    *size = total;
    return QAV_OK;
}

uint32_t DecodeElement(const uint8_t* bytes, uint32_t length, uint32_t* size, TlvElement* element) {
    if (bytes == nullptr || length < 2) return QAV_E_UNEXPECTED_DATA;
    const uint8_t first = bytes[1];
    const uint32_t fieldBytes = first < 0x80 ? 1 : (first & 0x0Fu) + 1;
    if (fieldBytes > kMaxLengthFieldBytes || length < 1 + fieldBytes) {
        return QAV_E_UNEXPECTED_DATA;
    }
    uint32_t lengthWord = 0;
    for (uint32_t i = 0; i < fieldBytes; ++i) lengthWord = (lengthWord << 8) | bytes[1 + i];

    const uint64_t total = uint64_t{1} + fieldBytes + ValueLength(lengthWord);
    if (size != nullptr) *size = static_cast<uint32_t>(std::min<uint64_t>(total, 0xFFFFFFFFu));
    if (total > length) return QAV_E_UNEXPECTED_DATA;

    if (element != nullptr) {
        TlvElement decoded(bytes[0], lengthWord);
        std::copy_n(bytes + 1 + fieldBytes, decoded.ValueLength(), decoded.Value());
        *element = std::move(decoded);
    }
    return QAV_OK;
}

uint32_t CTlvList::Add(const TlvElement* element) {
    if (element == nullptr) return QAV_E_NULL_POINTER;
    if (elements_.size() >= kCapacity) return QAV_E_TLV_FULL;
    uint32_t size = 0;
    uint32_t rc = EncodeElement(element, nullptr, &size);
    if (rc != QAV_OK) return rc;
    std::vector<uint8_t> encoded(size);
    rc = EncodeElement(element, encoded.data(), &size);
    if (rc != QAV_OK) return rc;
    encoding_.insert(encoding_.end(), encoded.begin(), encoded.end());
    elements_.push_back(*element);
    return QAV_OK;
}

uint32_t CTlvList::Parse(const uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr) return QAV_E_NULL_POINTER;
    uint32_t offset = 0;
    while (offset < length) {
        uint32_t size = 0;
        TlvElement element;
        const uint32_t rc = DecodeElement(bytes + offset, length - offset, &size, &element);
        if (rc != QAV_OK) return rc;
        if (elements_.size() >= kCapacity) return QAV_E_TLV_FULL;
        elements_.push_back(std::move(element));
        encoding_.insert(encoding_.end(), bytes + offset, bytes + offset + size);
        offset += size;
    }
    return QAV_OK;
}

void CTlvList::Clear() noexcept {
    encoding_.clear();
    elements_.clear();
}

}  // namespace qav
