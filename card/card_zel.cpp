#include "card/card_zel.h"

#include "card/challenge.h"

namespace qav {

namespace {

constexpr uint32_t kMaxNameLength = 255;
constexpr uint32_t kMaxFid = 0xFFFF;

}  // namespace

uint32_t CCardZel::GetResponse(uint32_t* statusWord, uint8_t* response, uint32_t* responseLength) {
    return FetchResponse(statusWord, response, responseLength);
}

uint32_t CCardZel::SelectFile(uint32_t type, const uint8_t* name, uint32_t nameLength, uint32_t fid,
                              uint8_t*, uint32_t*, uint32_t) {
    if (type > 1) return QAV_E_BAD_SELECTOR;
    if (name != nullptr) {
        if (nameLength == 0 || nameLength > kMaxNameLength) return QAV_E_BAD_LENGTH;
    } else if (fid > kMaxFid) {
        return QAV_E_ID_TOO_LARGE;
    }
    // The name is the command data of type 1; without it there is nothing
    // to send. Type 0 sends fid even when a name came along.
    if (type == 1 && name == nullptr) return QAV_E_NULL_POINTER;
    if (type == 0 && fid > kMaxFid) return QAV_E_ID_TOO_LARGE;

    CApdu apdu(Format());
    apdu.ins = 0xA4;
    if (type == 1) {
        apdu.p1 = 0x04;
        apdu.lc = nameLength;
        apdu.SetData(name, nameLength);
    } else {
        const uint8_t id[2] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
        apdu.lc = sizeof(id);
        apdu.SetData(id, sizeof(id));
    }
    apdu.Build();
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
