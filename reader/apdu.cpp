#include "reader/apdu.h"

#include <algorithm>

namespace qav {

namespace {

constexpr uint32_t kFullShortAnswer = 256;

// Writes the low `width` bytes of value big-endian.
uint8_t* PutBigEndian(uint8_t* at, uint32_t value, uint32_t width) noexcept {
    for (uint32_t i = width; i > 0; --i) {
        *at++ = static_cast<uint8_t>(i > 4 ? 0 : value >> (8 * (i - 1)));
    }
    return at;
}

}  // namespace

CApdu::CApdu(const CApduFormat* format, ApduHeader header, const uint8_t* data, uint32_t dataLength,
             uint32_t expected)
    : lc(dataLength), le(expected), format_(format) {
    SetHeader(header);
    if (dataLength != kAbsent) SetData(data, dataLength);
    Build();
}

CApdu CApdu::HeaderOnly(const CApduFormat* format, ApduHeader header) {
    return CApdu(format, header, nullptr, kAbsent, kAbsent);
}

CApdu CApdu::Expecting(const CApduFormat* format, ApduHeader header, uint32_t le) {
    return CApdu(format, header, nullptr, kAbsent, le);
}

CApdu CApdu::WithData(const CApduFormat* format, ApduHeader header, const uint8_t* data,
                      uint32_t length) {
    return CApdu(format, header, data, length, kAbsent);
}

CApdu CApdu::WithDataExpecting(const CApduFormat* format, ApduHeader header, const uint8_t* data,
                               uint32_t length, uint32_t le) {
    return CApdu(format, header, data, length, le);
}

void CApdu::SetData(const uint8_t* bytes, uint32_t length) { data_.Assign(bytes, length); }

void CApdu::Build() {
    const CApduFormat defaults;
    const CApduFormat& format = format_ != nullptr ? *format_ : defaults;
    const uint32_t width = format.lengthFieldWidth;
    const bool hasLc = lc != kAbsent;
    const bool t1 = format.reader != nullptr && format.reader->ActiveProtocol() == kProtocolT1;
    const bool sendLe = le != kAbsent && (!hasLc || t1);

    const size_t length =
        size_t{format.headerOffset} + data_.size() + 4 + (hasLc ? width : 0) + (sendLe ? width : 0);
    command_.Reset(length);

    uint8_t* at = command_.data() + format.headerOffset;
    *at++ = cla;
    *at++ = ins;
    *at++ = p1;
    *at++ = p2;
    if (hasLc) at = PutBigEndian(at, lc, width);
    // Data goes out even without Lc: some commands carry their length inside.
    at = std::copy_n(data_.data(), data_.size(), at);
    if (sendLe) PutBigEndian(at, le, width);

    // A short Le of 00 lets the card send 256 bytes, one more than the
    // format's room: a file length query on a large file gets them all.
    // Under T=0 the Le of a command with data stays home, but the card's
    // 6100 still fetches 256 bytes.
    const bool fullShortAnswer = le == 0 && width == 1;
    const uint32_t room = fullShortAnswer ? std::max(format.responseCapacity, kFullShortAnswer)
                                          : format.responseCapacity;
    response_.Reset(room);
    responseLength_ = room;
}

void CApdu::Clear() noexcept {
    command_.Release();
    data_.Release();
    response_.Release();
    responseLength_ = 0;
    statusWord_ = 0;
}

}  // namespace qav
