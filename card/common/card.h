// The card base: the device's reader, the card's command format, and the
// exchange every card command goes through.
#pragma once

#include <cstdint>
#include <memory>

#include "reader/apdu.h"
#include "reader/apdu_format.h"
#include "reader/reader.h"

namespace qav {

class CCardSeal;

class CCard {
public:
    // Consecutive 6Cxx answers SendApdu follows. A card that keeps asking for
    // another Le is confused; after this many re-sends the next 6Cxx is
    // reported as 0xE0186Cxx instead of looping.
    static constexpr uint32_t kMaxLengthCorrections = 3;
    // An answer longer than one exchange comes in pieces of at most 256
    // bytes, each fetched after a 61xx. A card that never stops announcing
    // more is cut off: the whole answer may hold at most kMaxAnswerLength
    // bytes (QAV_MAX_ANSWER_LENGTH) and take at most kMaxAnswerRounds
    // fetches; past either the exchange gives QAV_E_UNEXPECTED_DATA.
    static constexpr uint32_t kMaxAnswerLength = 65536;
    static constexpr uint32_t kMaxAnswerRounds = 256;

    // The reader stays the device's. The format is created here; if memory
    // runs out the card is refused at construction (std::bad_alloc).
    explicit CCard(CReader* reader);
    virtual ~CCard() = default;
    CCard(const CCard&) = delete;
    CCard& operator=(const CCard&) = delete;

    // The seal card this is, or null; every export asks, so no cast.
    virtual CCardSeal* AsSealCard() noexcept { return nullptr; }

    // Position 0. Fetches one piece of the pending answer. 9000 and a 61xx
    // announcing a further piece give 0 with the status word stored; any
    // other status comes back as the bare 16-bit word, not as 0xE018xxxx.
    virtual uint32_t GetResponse(uint32_t* statusWord, uint8_t* response,
                                 uint32_t* responseLength) = 0;

    // Sends a built command: 9000 is 0, 61xx fetches the rest of the answer
    // (FetchRest), 6Cxx re-sends with that Le, any other status is
    // 0xE0180000 | SW. The apdu's response holds the whole answer.
    uint32_t SendApdu(CApdu* apdu);

    // After an answer ending in 61xx, fetches the rest with GET RESPONSE
    // while the card announces more. buffer holds *length bytes of answer so
    // far (data sent along with the 61xx included); every piece is appended
    // behind them, the buffer growing as needed (old blocks wiped).
    uint32_t FetchRest(uint32_t* statusWord, platform::WipedBytes* buffer, uint32_t* length);

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
