// One-byte-tag TLV elements and lists: command data going out and card
// answers coming in (untrusted: every length is checked against the input).
#pragma once

#include <cstdint>
#include <vector>

namespace qav {

// The encoded-length word is the element's length bytes exactly as they stand
// in the encoding, read big-endian: 0x05 for a short form, 0x8190 for the
// long form 81 90. It is not the value length; ValueLength() derives that.
uint32_t LengthFieldBytes(uint32_t lengthWord) noexcept;
uint32_t ValueLength(uint32_t lengthWord) noexcept;
// The longest value a four-byte length word (83 xx xx xx) can describe.
inline constexpr uint32_t kMaxValueLength = 0xFFFFFF;

// The shortest length word for a value length (short form below 0x80); 0 for
// a length above kMaxValueLength.
uint32_t LengthWordFor(uint32_t valueLength) noexcept;

class TlvElement {
public:
    TlvElement() = default;
    // The value is zeroed, ValueLength(lengthWord) bytes long.
    TlvElement(uint8_t tag, uint32_t lengthWord);
    // A null value gives valueLength zero bytes. A value longer than
    // kMaxValueLength throws std::length_error.
    TlvElement(uint8_t tag, const uint8_t* value, uint32_t valueLength);

    uint8_t Tag() const noexcept { return tag_; }
    void SetTag(uint8_t tag) noexcept { tag_ = tag; }
    uint32_t LengthWord() const noexcept { return lengthWord_; }
    uint32_t ValueLength() const noexcept { return static_cast<uint32_t>(value_.size()); }
    const uint8_t* Value() const noexcept { return value_.data(); }
    uint8_t* Value() noexcept { return value_.data(); }

private:
    uint8_t tag_ = 0;
    uint32_t lengthWord_ = 0;
    std::vector<uint8_t> value_;
};

// An element with tag 0 and room for valueLength bytes.
TlvElement NewElement(uint32_t valueLength);

// out null: *size gets the encoded size. Too small: 0xE017003B, size written.
uint32_t EncodeElement(const TlvElement* element, uint8_t* out, uint32_t* size);

// Decodes the element at the start of bytes. *size (if given) gets the whole
// element's size as soon as the header is complete. Rejected with 0xE0170032:
// a header cut short, a length field of more than four bytes (the word holds
// four), and a value that runs past the end of the input; nothing beyond
// bytes[length - 1] is ever read.
uint32_t DecodeElement(const uint8_t* bytes, uint32_t length, uint32_t* size, TlvElement* element);

class CTlvList {
public:
    static constexpr uint32_t kCapacity = 256;

    CTlvList() = default;
    CTlvList(const CTlvList&) = delete;
    CTlvList& operator=(const CTlvList&) = delete;

    // Appends the element's encoding and keeps a copy. A full list changes
    // nothing and answers 0xE0170041.
    uint32_t Add(const TlvElement* element);
    // Adds every element of bytes, keeping their bytes as they stand. The
    // first error stops parsing; what was added before it stays.
    uint32_t Parse(const uint8_t* bytes, uint32_t length);

    const TlvElement* Get(uint32_t index) const noexcept {
        return index < elements_.size() ? &elements_[index] : nullptr;
    }
    uint32_t Count() const noexcept { return static_cast<uint32_t>(elements_.size()); }
    const uint8_t* EncodingData() const noexcept { return encoding_.data(); }
    uint32_t EncodingLength() const noexcept { return static_cast<uint32_t>(encoding_.size()); }
    void Clear() noexcept;

private:
    std::vector<uint8_t> encoding_;
    std::vector<TlvElement> elements_;
};

}  // namespace qav
