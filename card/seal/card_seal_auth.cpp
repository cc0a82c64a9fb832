// The seal card's authentication commands: external (the caller's cryptogram
// of a fresh card challenge) and internal (the card's cryptogram of 16 host
// bytes).
#include <algorithm>
#include <vector>

#include "card/common/card_output.h"
#include "card/common/challenge.h"
#include "card/common/pin_status.h"
#include "card/seal/card_seal.h"
#include "platform/secure_memory.h"
#include "reader/iso_commands.h"

namespace qav {

namespace {

constexpr uint32_t kMaxKeyReference = 0xFF;
constexpr uint32_t kInternalAuthLength = 16;

CApdu EncodeExternalAuth(const CApduFormat* format, uint32_t keyReference,
                         const std::vector<uint8_t>& cryptogram) {
    ApduHeader header = kExternalAuthHeader;
    header.p2 = static_cast<uint8_t>(keyReference);
    return CApdu::WithData(format, header, cryptogram.data(),
                           static_cast<uint32_t>(cryptogram.size()));
}

// No Le: the card answers 16 bytes all the same.
CApdu EncodeInternalAuth(const CApduFormat* format, int32_t keyReference, const uint8_t* data) {
    return CApdu::WithData(format, {0x00, 0x88, 0x00, static_cast<uint8_t>(keyReference)}, data,
                           kInternalAuthLength);
}

}  // namespace

uint32_t CheckExternalAuth(uint32_t keyReference, uint32_t challengeLength,
                           QAV_CryptogramCallback cryptogram, const uint32_t* triesLeft) noexcept {
    if (keyReference > kMaxKeyReference) return QAV_E_NULL_POINTER;
    if (challengeLength == 0) return QAV_E_BAD_LENGTH;
    if (cryptogram == nullptr || triesLeft == nullptr) return QAV_E_NULL_POINTER;
    return IsChallengeLength(challengeLength) ? QAV_OK : QAV_E_BAD_LENGTH;
}

// The reference is a signed number that must fit P2: a wider one would name
// another key without anyone noticing.
uint32_t CheckInternalAuth(int32_t keyReference, const uint8_t* data, int32_t dataLength,
                           const uint32_t* outLength) noexcept {
    if (data == nullptr) return QAV_E_NULL_POINTER;
    if (dataLength != static_cast<int32_t>(kInternalAuthLength)) return QAV_E_BAD_LENGTH;
    if (outLength == nullptr) return QAV_E_NULL_POINTER;
    if (keyReference < 0 || keyReference > static_cast<int32_t>(kMaxKeyReference)) {
        return QAV_E_ID_TOO_LARGE;
    }
    return QAV_OK;
}

uint32_t CCardSeal::ExternalAuth(uint32_t keyReference, uint32_t challengeLength,
                                 QAV_CryptogramCallback cryptogram, uint32_t* triesLeft,
                                 uintptr_t user1, uintptr_t user2) {
    if (const uint32_t rc =
            CheckExternalAuth(keyReference, challengeLength, cryptogram, triesLeft)) {
        return rc;
    }
    std::vector<uint8_t> answer;
    const platform::WipeOnExit wipeAnswer(answer);
    bool callbackFailed = false;
    if (const uint32_t rc = ObtainCryptogram(
            [this](uint8_t* out, uint32_t length) { return GetChallenge(out, length, 0); },
            challengeLength, cryptogram, user1, user2, &answer, &callbackFailed)) {
        return rc;
    }

    CApdu apdu = EncodeExternalAuth(Format(), keyReference, answer);
    return DecodePinStatus(SendApdu(&apdu), PinCommand::kExternalAuth, triesLeft);
}

uint32_t CCardSeal::InternalAuth(int32_t keyReference, const uint8_t* data, int32_t dataLength,
                                 uint8_t* out, uint32_t* outLength, uint32_t) {
    if (const uint32_t rc = CheckInternalAuth(keyReference, data, dataLength, outLength)) return rc;
    if (const auto stop = SizeQueryOrTooSmall(out, outLength, kInternalAuthLength)) return *stop;

    CApdu apdu = EncodeInternalAuth(Format(), keyReference, data);
    if (const uint32_t rc = SendApdu(&apdu)) return rc;
    if (apdu.ResponseLength() != kInternalAuthLength) return QAV_E_UNEXPECTED_DATA;
    std::copy_n(apdu.Response(), kInternalAuthLength, out);
    *outLength = kInternalAuthLength;
    return QAV_OK;
}

}  // namespace qav
