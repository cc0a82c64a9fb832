#include "card/common/card.h"

#include <algorithm>

#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav {

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
            case ExchangeStep::kFetchResponse: {
                *apdu->ResponseLengthAddress() = capacity;
                const uint32_t fetched = GetResponse(apdu->StatusWordAddress(), apdu->Response(),
                                                     apdu->ResponseLengthAddress());
                if (fetched == QAV_OK && apdu->ResponseLength() > capacity) {
                    return QAV_E_UNEXPECTED_DATA;
                }
                return fetched;
            }
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
    if (answered != kStatusOk) return answered;
    *statusWord = kStatusOk;
    return QAV_OK;
}

}  // namespace qav
