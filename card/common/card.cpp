#include "card/common/card.h"

#include <algorithm>

#include "platform/secure_memory.h"
#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav {

static_assert(CCard::kMaxAnswerLength == QAV_MAX_ANSWER_LENGTH);

CCard::CCard(CReader* reader) : reader_(reader), format_(std::make_unique<CApduFormat>()) {
    format_->reader = reader;
}

uint32_t CCard::SendApdu(CApdu* apdu) {
    if (apdu == nullptr) return QAV_E_NULL_POINTER;
    if (reader_ == nullptr) return QAV_E_INTERNAL;
    // The room Build made; a length raised past it would let the reader
    // write beyond the buffer.
    uint32_t capacity = std::min(apdu->ResponseLength(), apdu->ResponseCapacity());
    *apdu->ResponseLengthAddress() = capacity;
    uint32_t corrections = 0;
    for (;;) {
        const uint32_t rc =
            reader_->Transmit(apdu->Command(), apdu->CommandLength(), apdu->Response(),
                              apdu->ResponseLengthAddress(), apdu->StatusWordAddress(), 0);
        if (rc != QAV_OK) return rc;
        if (apdu->ResponseLength() > capacity) return QAV_E_UNEXPECTED_DATA;
        const uint32_t sw = apdu->StatusWord();
        switch (ClassifyExchangeStatus(sw)) {
            case ExchangeStep::kDone:
                return QAV_OK;
            case ExchangeStep::kFetchResponse:
                return FetchRest(apdu->StatusWordAddress(), &apdu->ResponseBuffer(),
                                 apdu->ResponseLengthAddress());
            case ExchangeStep::kResendWithLe:
                if (corrections++ == kMaxLengthCorrections) return CardStatus(sw);
                apdu->le = sw & 0xFFu;
                apdu->Build();
                // The new Le may have shrunk the buffer.
                capacity = apdu->ResponseCapacity();
                break;
            case ExchangeStep::kCardError:
                return CardStatus(sw);
        }
    }
}

namespace {

constexpr uint32_t kLongestPiece = 256;

// Room for `needed` bytes, keeping the first `kept`; doubling keeps a long
// chain from copying every piece again.
void MakeRoom(platform::WipedBytes* buffer, uint32_t kept, size_t needed) {
    if (buffer->size() >= needed) return;
    buffer->Grow(std::max(needed, std::min(buffer->size() * 2, size_t{CCard::kMaxAnswerLength})),
                 kept);
}

}  // namespace

// Answers are chained as ISO 7816-4 chains them: every piece is kept and
// appended, data sent along with a 61xx included, within bounds on length
// and rounds. Fetching a single piece into the start of the buffer would lose
// that data and stop at a second 61xx, cutting RSA-2048 keys and long SM2
// ciphertexts short.
uint32_t CCard::FetchRest(uint32_t* statusWord, platform::WipedBytes* buffer, uint32_t* length) {
    if (statusWord == nullptr || buffer == nullptr || length == nullptr) {
        return QAV_E_NULL_POINTER;
    }
    for (uint32_t round = 0; IsBytesWaiting(*statusWord); ++round) {
        const uint32_t piece = (*statusWord & 0xFFu) != 0 ? (*statusWord & 0xFFu) : kLongestPiece;
        const uint32_t held = *length;
        if (round == kMaxAnswerRounds || held > kMaxAnswerLength - piece) {
            return QAV_E_UNEXPECTED_DATA;
        }
        MakeRoom(buffer, held, size_t{held} + piece);
        uint32_t received = piece;
        const uint32_t rc = GetResponse(statusWord, buffer->data() + held, &received);
        // More than the fetch asked for is the card's fault, not a buffer's.
        if (rc == QAV_E_BUFFER_TOO_SMALL || (rc == QAV_OK && received > piece)) {
            return QAV_E_UNEXPECTED_DATA;
        }
        if (rc != QAV_OK) return rc;
        *length = held + received;
    }
    return QAV_OK;
}

uint32_t CCard::FetchResponse(uint32_t* statusWord, uint8_t* response, uint32_t* responseLength) {
    if (statusWord == nullptr || responseLength == nullptr) return QAV_E_NULL_POINTER;
    if (reader_ == nullptr) return QAV_E_INTERNAL;
    const CApdu getResponse =
        CApdu::Expecting(format_.get(), kGetResponseHeader, *statusWord & 0xFFu);
    uint32_t answered = 0;
    const uint32_t rc = reader_->Transmit(getResponse.Command(), getResponse.CommandLength(),
                                          response, responseLength, &answered, 0);
    if (rc != QAV_OK) return rc;
    // A bare 0000 would read as success to the caller.
    if (answered == 0) return QAV_E_UNEXPECTED_DATA;
    // A further 61xx is one more piece announced, not a failure.
    if (answered != kStatusOk && !IsBytesWaiting(answered)) return answered;
    *statusWord = answered;
    return QAV_OK;
}

}  // namespace qav
