#include "card/identity/card_zel.h"

#include "card/common/challenge.h"
#include "card/common/select_command.h"

namespace qav {

namespace {

constexpr uint32_t kMaxFid = 0xFFFF;

}  // namespace

uint32_t CCardZel::GetResponse(uint32_t* statusWord, uint8_t* response, uint32_t* responseLength) {
    return FetchResponse(statusWord, response, responseLength);
}

uint32_t CCardZel::SelectFile(uint32_t type, const uint8_t* name, uint32_t nameLength, uint32_t fid,
                              uint8_t*, uint32_t*, uint32_t) {
    if (type > 1) return QAV_E_BAD_SELECTOR;
    const bool fidFits = fid <= kMaxFid;
    if (const uint32_t rc = CheckSelectArguments(name, nameLength, fidFits)) return rc;
    if (const uint32_t rc = CheckSelectForm(type == 1, name, fidFits)) return rc;

    CApdu apdu = SelectCommand(Format(), type == 1, name, nameLength, fid, 0x00);
    return SendApdu(&apdu);
}

uint32_t CCardZel::GetChallenge(uint8_t* buffer, uint32_t length, uint32_t) {
    return RequestChallenge(*this, buffer, length);
}

uint32_t CCardZel::ReservedOperation(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                     uint32_t, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

}  // namespace qav
