#include "card/common/challenge.h"

#include <algorithm>
#include <array>

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

uint32_t ObtainCryptogram(const ChallengeSource& challenge, uint32_t challengeLength,
                          QAV_CryptogramCallback callback, uintptr_t user1, uintptr_t user2,
                          std::vector<uint8_t>* cryptogram, bool* callbackFailed) {
    *callbackFailed = false;
    // GET CHALLENGE refuses every other length in the same way.
    if (!IsChallengeLength(challengeLength)) return QAV_E_BAD_LENGTH;
    std::array<uint8_t, kMaxChallengeLength> nonce{};
    const uint32_t rc = challenge(nonce.data(), challengeLength);
    if (rc != QAV_OK) return rc;

    cryptogram->assign(kCryptogramArea, 0);
    uint32_t length = kCryptogramArea;
    const uint32_t made =
        callback(nonce.data(), challengeLength, cryptogram->data(), &length, user1, user2);
    if (made != QAV_OK) {
        *callbackFailed = true;
        return made;
    }
    // A length beyond the area cannot be true; nothing past it is ours to send.
    if (length > kCryptogramArea) return QAV_E_CONVERSION;
    cryptogram->resize(length);
    return QAV_OK;
}

}  // namespace qav
