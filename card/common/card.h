// The card base: the device's reader, the card's command format, and the
// exchange every card command goes through.
#pragma once

#include <cstdint>
#include <memory>

#include "reader/apdu.h"
#include "reader/apdu_format.h"
#include "reader/reader.h"

namespace qav {

class CCard {
public:
    // Consecutive 6Cxx answers SendApdu follows. A card that keeps asking for
    // another Le is confused; after this many re-sends the next 6Cxx is
    // reported as 0xE0186Cxx instead of looping.
    static constexpr uint32_t kMaxLengthCorrections = 3;

    // The reader stays the device's. The format is created here; if memory
    // runs out the card is refused at construction (std::bad_alloc).
    explicit CCard(CReader* reader);
    virtual ~CCard() = default;
    CCard(const CCard&) = delete;
    CCard& operator=(const CCard&) = delete;

    // Position 0. Fetches the pending answer; a status other than 9000 comes
    // back as the bare 16-bit word, not as 0xE018xxxx.
    virtual uint32_t GetResponse(uint32_t* statusWord, uint8_t* response,
                                 uint32_t* responseLength) = 0;

    // Sends a built command: 9000 is 0, 61xx goes through GetResponse, 6Cxx
    // re-sends with that Le, any other status is 0xE0180000 | SW.
    uint32_t SendApdu(CApdu* apdu);

    CReader* Reader() const noexcept { return reader_; }
    const CApduFormat* Format() const noexcept { return format_.get(); }

protected:
    // The GET RESPONSE both card classes share.
    uint32_t FetchResponse(uint32_t* statusWord, uint8_t* response, uint32_t* responseLength);

private:
    CReader* reader_;
    std::unique_ptr<CApduFormat> format_;
};

}  // namespace qav
