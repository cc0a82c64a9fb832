#include "card/challenge.h"

#include <algorithm>

#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"

namespace qav {

bool IsChallengeLength(uint32_t length) noexcept {
    return length == 4 || length == 8 || length == 16;
}

uint32_t RequestChallenge(CCard& card, uint8_t* out, uint32_t length) {
    if (out == nullptr) return QAV_E_NULL_POINTER;
    if (!IsChallengeLength(length)) return QAV_E_BAD_LENGTH;

    CApdu apdu = CApdu::Expecting(card.Format(), kGetChallengeHeader, length);
    const uint32_t rc = card.SendApdu(&apdu);
    if (rc != QAV_OK) return rc;
    if (apdu.ResponseLength() < length) return QAV_E_UNEXPECTED_DATA;
    std::copy_n(apdu.Response(), length, out);
    return QAV_OK;
}

}  // namespace qav
