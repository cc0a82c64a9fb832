// The identity card's external authentication and PIN commands.
#include <vector>

#include "card/common/challenge.h"
#include "card/common/pin_block.h"
#include "card/common/pin_status.h"
#include "card/identity/card_zel.h"
#include "platform/secure_memory.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav {

namespace {

constexpr uint32_t kMaxReference = 255;
constexpr uint32_t kFlagPinPad = 0x1;
constexpr uint8_t kAlternateReference = 0x81;
constexpr uint32_t kWrongReference = CardStatus(0x6A86);

}  // namespace

uint32_t CCardZel::SendPinWithRetry(ApduHeader header, const uint8_t* data, uint32_t dataLength) {
    uint32_t rc = QAV_OK;
    for (const uint8_t p2 : {uint8_t{0x00}, kAlternateReference}) {
        header.p2 = p2;
        CApdu apdu = CApdu::WithData(Format(), header, data, dataLength);
        rc = SendApdu(&apdu);
        if (rc != kWrongReference) break;
    }
    return rc;
}

uint32_t CCardZel::SendPinPad(uint8_t p2) {
    ApduHeader header = kPinPadHeader;
    header.p2 = p2;
    CApdu apdu = CApdu::WithData(Format(), header, nullptr, 0);
    return SendApdu(&apdu);
}

uint32_t CCardZel::ExternalAuth(uint32_t keyId, uint32_t challengeLength,
                                QAV_CryptogramCallback cryptogram, uint32_t* triesLeft,
                                uintptr_t context1, uintptr_t context2) {
    if (keyId > kMaxReference) return QAV_E_NULL_POINTER;
    if (challengeLength == 0) return QAV_E_BAD_LENGTH;
    if (cryptogram == nullptr || triesLeft == nullptr) return QAV_E_NULL_POINTER;

    std::vector<uint8_t> answer;
    const platform::WipeOnExit wipeAnswer(answer);
    bool callbackFailed = false;
    const uint32_t rc = ObtainCryptogram(
        [this](uint8_t* out, uint32_t length) { return GetChallenge(out, length, 0); },
        challengeLength, cryptogram, context1, context2, &answer, &callbackFailed);
    if (callbackFailed) return QAV_E_CONVERSION;
    if (rc != QAV_OK) return rc;
    const auto answerLength = static_cast<uint32_t>(answer.size());

    CApdu apdu = CApdu::WithData(Format(), kExternalAuthHeader, answer.data(), answerLength);
    return DecodePinStatus(SendApdu(&apdu), PinCommand::kExternalAuth, triesLeft);
}

uint32_t CCardZel::VerifyPIN(uint32_t pinRef, const char* pin, uint32_t pinLength,
                             uint32_t* triesLeft, uint32_t flags) {
    if ((flags & kFlagPinPad) != 0) {
        if (triesLeft == nullptr) return QAV_E_NULL_POINTER;
        return DecodePinStatus(SendPinPad(0x00), PinCommand::kVerify, triesLeft);
    }
    std::vector<uint8_t> block;
    const platform::WipeOnExit wipeBlock(block);
    const uint32_t rc = VerifyPinData(pinRef, pin, pinLength, triesLeft, &block);
    if (rc != QAV_OK) return rc;
    return DecodePinStatus(
        SendPinWithRetry(kVerifyPinHeader, block.data(), static_cast<uint32_t>(block.size())),
        PinCommand::kVerify, triesLeft);
}

uint32_t CCardZel::ChangePIN(uint32_t pinRef, const char* oldPin, uint32_t oldLength,
                             const char* newPin, uint32_t newLength, uint32_t* triesLeft,
                             uint32_t flags) {
    if ((flags & kFlagPinPad) != 0) {
        if (triesLeft == nullptr) return QAV_E_NULL_POINTER;
        return DecodePinStatus(SendPinPad(0x01), PinCommand::kChange, triesLeft);
    }
    std::vector<uint8_t> data;
    const platform::WipeOnExit wipeData(data);
    const uint32_t rc =
        ChangePinData(pinRef, oldPin, oldLength, newPin, newLength, triesLeft, &data);
    if (rc != QAV_OK) return rc;
    return DecodePinStatus(
        SendPinWithRetry(kChangePinHeader, data.data(), static_cast<uint32_t>(data.size())),
        PinCommand::kChange, triesLeft);
}

}  // namespace qav
