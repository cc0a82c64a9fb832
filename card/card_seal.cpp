#include "card/card_seal.h"

#include <algorithm>

#include "card/challenge.h"

namespace qav {

namespace {

constexpr uint32_t kMaxNameLength = 255;
constexpr int32_t kMaxFid = 0xFFFF;

}  // namespace

uint32_t CCardSeal::GetResponse(uint32_t* statusWord, uint8_t* response, uint32_t* responseLength) {
    return FetchResponse(statusWord, response, responseLength);
}

uint32_t CCardSeal::SelectFile(uint32_t byName, const uint8_t* name, uint32_t nameLength,
                               int32_t fid, uint8_t* response, uint32_t* responseLength,
                               uint32_t childOfCurrent) {
    if (byName > 1) return QAV_E_BAD_SELECTOR;
    if (name != nullptr) {
        if (nameLength == 0 || nameLength > kMaxNameLength) return QAV_E_BAD_LENGTH;
    } else if (fid < 0 || fid > kMaxFid) {
        return QAV_E_ID_TOO_LARGE;
    }
    if (responseLength == nullptr) return QAV_E_NULL_POINTER;
    // The name is the command data of a selection by name: without it there
    // is nothing to send. By identifier, fid goes out even when a name came
    // along.
    if (byName == 1 && name == nullptr) return QAV_E_NULL_POINTER;
    if (byName == 0 && (fid < 0 || fid > kMaxFid)) return QAV_E_ID_TOO_LARGE;

    CApdu apdu(Format());
    apdu.ins = 0xA4;
    if (byName == 1) {
        apdu.p1 = 0x04;
        apdu.lc = nameLength;
        apdu.SetData(name, nameLength);
    } else {
        apdu.p1 = childOfCurrent != 0 ? 0x02 : 0x00;
        const uint8_t id[2] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
        apdu.lc = sizeof(id);
        apdu.SetData(id, sizeof(id));
    }
    apdu.Build();
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
