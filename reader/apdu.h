// One command APDU: its header, optional Lc/Le, data, the encoded command
// and the answer the exchange leaves in it.
#pragma once

#include <cstdint>

#include "platform/secure_memory.h"
#include "reader/apdu_format.h"

namespace qav {

struct ApduHeader {
    uint8_t cla = 0;
    uint8_t ins = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
};

class CApdu {
public:
    static constexpr uint32_t kAbsent = 0xFFFFFFFFu;

    explicit CApdu(const CApduFormat* format) noexcept : format_(format) {}

    // One factory per ISO case; each returns the command built. Lc is the
    // data length, so WithData with no data still sends an Lc of 00.
    static CApdu HeaderOnly(const CApduFormat* format, ApduHeader header);
    static CApdu Expecting(const CApduFormat* format, ApduHeader header, uint32_t le);
    static CApdu WithData(const CApduFormat* format, ApduHeader header, const uint8_t* data,
                          uint32_t length);
    static CApdu WithDataExpecting(const CApduFormat* format, ApduHeader header,
                                   const uint8_t* data, uint32_t length, uint32_t le);
    ~CApdu() { Clear(); }
    CApdu(const CApdu&) = delete;
    CApdu& operator=(const CApdu&) = delete;

    uint8_t cla = 0;
    uint8_t ins = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    uint32_t lc = kAbsent;  // only the low length-field-width bytes go out
    uint32_t le = kAbsent;  // 0 asks for a full-length answer

    void SetHeader(ApduHeader header) noexcept {
        cla = header.cla;
        ins = header.ins;
        p1 = header.p1;
        p2 = header.p2;
    }

    // Replaces the data copy; Lc is the caller's to set.
    void SetData(const uint8_t* bytes, uint32_t length);
    // Encodes the command and makes room for a full-capacity answer. Under
    // T=0 a command carrying data goes out without Le.
    void Build();
    // Frees every block, wiping it first: commands may carry PIN blocks.
    void Clear() noexcept;

    const CApduFormat* Format() const noexcept { return format_; }
    const uint8_t* Command() const noexcept { return command_.data(); }
    uint32_t CommandLength() const noexcept { return static_cast<uint32_t>(command_.size()); }
    const uint8_t* Data() const noexcept { return data_.data(); }
    uint32_t DataLength() const noexcept { return static_cast<uint32_t>(data_.size()); }

    uint8_t* Response() noexcept { return response_.data(); }
    const uint8_t* Response() const noexcept { return response_.data(); }
    // Room allocated for the answer by the last Build.
    uint32_t ResponseCapacity() const noexcept { return static_cast<uint32_t>(response_.size()); }
    uint32_t ResponseLength() const noexcept { return responseLength_; }
    uint32_t* ResponseLengthAddress() noexcept { return &responseLength_; }
    // The answer's block itself, for an exchange that gathers a long answer
    // and grows it; ResponseLength stays the count of bytes received.
    platform::WipedBytes& ResponseBuffer() noexcept { return response_; }
    uint32_t StatusWord() const noexcept { return statusWord_; }
    uint32_t* StatusWordAddress() noexcept { return &statusWord_; }

private:
    CApdu(const CApduFormat* format, ApduHeader header, const uint8_t* data, uint32_t dataLength,
          uint32_t expected);

    const CApduFormat* format_;
    platform::WipedBytes command_;
    platform::WipedBytes data_;
    platform::WipedBytes response_;
    uint32_t responseLength_ = 0;
    uint32_t statusWord_ = 0;
};

}  // namespace qav
