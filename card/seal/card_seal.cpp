#include "card/seal/card_seal.h"

#include <algorithm>

#include "card/common/challenge.h"
#include "card/common/select_command.h"

namespace qav {

namespace {

constexpr int32_t kMaxFid = 0xFFFF;

}  // namespace

uint32_t CCardSeal::GetResponse(uint32_t* statusWord, uint8_t* response, uint32_t* responseLength) {
    return FetchResponse(statusWord, response, responseLength);
}

uint32_t CCardSeal::SelectFile(uint32_t byName, const uint8_t* name, uint32_t nameLength,
                               int32_t fid, uint8_t* response, uint32_t* responseLength,
                               uint32_t childOfCurrent) {
    if (byName > 1) return QAV_E_BAD_SELECTOR;
    const bool fidFits = fid >= 0 && fid <= kMaxFid;
    if (const uint32_t rc = CheckSelectArguments(name, nameLength, fidFits)) return rc;
    if (responseLength == nullptr) return QAV_E_NULL_POINTER;
    if (const uint32_t rc = CheckSelectForm(byName == 1, name, fidFits)) return rc;

    CApdu apdu = SelectCommand(Format(), byName == 1, name, nameLength, static_cast<uint32_t>(fid),
                               childOfCurrent != 0 ? 0x02 : 0x00);
    const uint32_t rc = SendApdu(&apdu);
    if (rc != QAV_OK) return rc;

    const uint32_t received = apdu.ResponseLength();
    if (response != nullptr) {
        if (*responseLength < received) {
            *responseLength = received;
            return QAV_E_BUFFER_TOO_SMALL;
        }
        std::copy_n(apdu.Response(), received, response);
    }
    *responseLength = received;
    return QAV_OK;
}

uint32_t CCardSeal::GetChallenge(uint8_t* out, uint32_t length, uint32_t) {
    return RequestChallenge(*this, out, length);
}

uint32_t CCardSeal::ReservedOperation(uint32_t, uint32_t, uint32_t, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::ReservedOperation23(uint32_t, uint32_t, uint32_t, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

}  // namespace qav
