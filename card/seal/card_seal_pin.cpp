// The seal card's PIN commands: verify, change and the secured reload.
#include <array>
#include <vector>

#include "card/common/challenge.h"
#include "card/common/pin_block.h"
#include "card/common/pin_status.h"
#include "card/common/secured_command.h"
#include "card/seal/card_seal.h"
#include "platform/secure_memory.h"
#include "reader/iso_commands.h"

namespace qav {

namespace {

constexpr uint32_t kFlagTriesQuery = 0x1;

// The plain block: its length L, then the L packed bytes.
uint32_t EncodeReloadBlock(const char* newPin, uint32_t newPinLength, std::vector<uint8_t>* plain) {
    std::vector<uint8_t> block;
    const platform::WipeOnExit wipeBlock(block);
    if (const uint32_t rc = PackPinBlock(newPin, newPinLength, &block)) return rc;
    plain->reserve(block.size() + 1);
    plain->push_back(static_cast<uint8_t>(block.size()));
    plain->insert(plain->end(), block.begin(), block.end());
    return QAV_OK;
}

// Mode 0 sends the plain block, mode 1 the caller's cryptogram of it. data
// keeps room for the MAC: it is never reallocated, so no stray copies.
uint32_t EncodeReloadData(uint32_t mode, const uint8_t* challenge, const SecureMessaging& messaging,
                          const std::vector<uint8_t>& plain, std::vector<uint8_t>* data) {
    data->reserve(kCryptogramArea + kCommandMacLength);
    if (mode == 0) {
        data->assign(plain.begin(), plain.end());
        return QAV_OK;
    }
    data->assign(kCryptogramArea, 0);
    uint32_t produced = kCryptogramArea;
    // This callback reports success as non-zero.
    if (messaging.encrypt(challenge, messaging.challengeLength, plain.data(),
                          static_cast<uint32_t>(plain.size()), data->data(), &produced,
                          messaging.user1, messaging.user2) == 0) {
        return QAV_E_CONVERSION;
    }
    if (produced > kMaxSecuredCryptogram) return QAV_E_CONVERSION;
    data->resize(produced);
    return QAV_OK;
}

}  // namespace

uint32_t CheckReloadPin(uint32_t mode, uint32_t challengeLength, QAV_EncryptCallback encrypt,
                        QAV_MacCallback mac, const char* newPin, uint32_t newPinLength,
                        const uint32_t* triesLeft) noexcept {
    if (mode > 1) return QAV_E_BAD_SELECTOR;
    if (mode == 1 && encrypt == nullptr) return QAV_E_NULL_POINTER;
    if (challengeLength == 0) return QAV_E_BAD_LENGTH;
    if (mac == nullptr || newPin == nullptr) return QAV_E_NULL_POINTER;
    // Only a PIN VerifyPIN accepts is loaded (see ChangePinData).
    if (const uint32_t rc = CheckVerifiablePin(newPin, newPinLength)) return rc;
    if (triesLeft == nullptr) return QAV_E_NULL_POINTER;
    return IsChallengeLength(challengeLength) ? QAV_OK : QAV_E_BAD_LENGTH;
}

uint32_t CCardSeal::SendPinCommand(ApduHeader header, const uint8_t* data, uint32_t dataLength,
                                   uint32_t* triesLeft, bool verify) {
    CApdu apdu = CApdu::WithData(Format(), header, data, dataLength);
    const uint32_t rc = SendApdu(&apdu);
    return DecodePinStatus(rc, verify ? PinCommand::kVerify : PinCommand::kChange, triesLeft);
}

uint32_t CCardSeal::VerifyPIN(uint32_t pinReference, const char* pin, uint32_t pinLength,
                              uint32_t* triesLeft, uint32_t flags) {
    if ((flags & kFlagTriesQuery) != 0) {
        if (triesLeft == nullptr) return QAV_E_NULL_POINTER;
        return SendPinCommand(kVerifyPinHeader, nullptr, 0, triesLeft, true);
    }
    std::vector<uint8_t> block;
    const platform::WipeOnExit wipeBlock(block);
    const uint32_t rc = VerifyPinData(pinReference, pin, pinLength, triesLeft, &block);
    if (rc != QAV_OK) return rc;
    // The reference is range-checked but the card takes P2 = 00 whatever it is.
    return SendPinCommand(kVerifyPinHeader, block.data(), static_cast<uint32_t>(block.size()),
                          triesLeft, true);
}

uint32_t CCardSeal::ChangePIN(uint32_t pinReference, const char* oldPin, uint32_t oldPinLength,
                              const char* newPin, uint32_t newPinLength, uint32_t* triesLeft,
                              uint32_t flags) {
    if ((flags & kFlagTriesQuery) != 0) {
        if (triesLeft == nullptr) return QAV_E_NULL_POINTER;
        return SendPinCommand(kChangePinHeader, nullptr, 0, triesLeft, false);
    }
    std::vector<uint8_t> data;
    const platform::WipeOnExit wipeData(data);
    const uint32_t rc =
        ChangePinData(pinReference, oldPin, oldPinLength, newPin, newPinLength, triesLeft, &data);
    if (rc != QAV_OK) return rc;
    return SendPinCommand(kChangePinHeader, data.data(), static_cast<uint32_t>(data.size()),
                          triesLeft, false);
}

uint32_t CCardSeal::ReloadPIN(uint32_t mode, uint32_t challengeLength, QAV_EncryptCallback encrypt,
                              QAV_MacCallback mac, const char* newPin, uint32_t newPinLength,
                              uint32_t* triesLeft, uintptr_t user1, uintptr_t user2) {
    if (const uint32_t rc =
            CheckReloadPin(mode, challengeLength, encrypt, mac, newPin, newPinLength, triesLeft)) {
        return rc;
    }
    std::vector<uint8_t> plain;
    const platform::WipeOnExit wipePlain(plain);
    if (const uint32_t rc = EncodeReloadBlock(newPin, newPinLength, &plain)) return rc;

    std::array<uint8_t, kMaxChallengeLength> challenge{};
    if (const uint32_t rc = GetChallenge(challenge.data(), challengeLength, 0)) return rc;

    const SecureMessaging messaging{challengeLength, encrypt, mac, user1, user2};
    std::vector<uint8_t> data;
    const platform::WipeOnExit wipeData(data);
    if (const uint32_t rc = EncodeReloadData(mode, challenge.data(), messaging, plain, &data)) {
        return rc;
    }
    ApduHeader header = kReloadPinHeader;
    header.p2 = mode == 0 ? 0x00 : 0x02;
    CApdu apdu(Format());
    apdu.SetHeader(header);
    if (const uint32_t rc = AppendCommandMac(apdu, challenge.data(), messaging, &data)) return rc;
    return DecodePinStatus(SendApdu(&apdu), PinCommand::kChange, triesLeft);
}

}  // namespace qav
