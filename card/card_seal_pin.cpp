// The seal card's PIN commands: verify, change and the secured reload.
#include <array>
#include <vector>

#include "card/card_seal.h"
#include "card/pin_block.h"
#include "card/pin_status.h"
#include "platform/secure_memory.h"
#include "reader/iso_commands.h"

namespace qav {

namespace {

constexpr uint32_t kFlagTriesQuery = 0x1;
constexpr uint32_t kMacLength = 4;
constexpr uint32_t kCryptogramArea = 255;
// The cryptogram and the MAC share a one-byte Lc.
constexpr uint32_t kMaxCryptogramLength = kCryptogramArea - kMacLength;

}  // namespace

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
    if (mode > 1) return QAV_E_BAD_SELECTOR;
    if (mode == 1 && encrypt == nullptr) return QAV_E_NULL_POINTER;
    if (challengeLength == 0) return QAV_E_BAD_LENGTH;
    if (mac == nullptr || newPin == nullptr) return QAV_E_NULL_POINTER;
    if (!PinLengthOk(newPinLength)) return QAV_E_PIN_LENGTH;
    if (triesLeft == nullptr) return QAV_E_NULL_POINTER;

    // Plain block: its length L, then the L packed bytes.
    std::vector<uint8_t> block;
    std::vector<uint8_t> plain;
    const platform::WipeOnExit wipeBlock(block);
    const platform::WipeOnExit wipePlain(plain);
    uint32_t rc = PackPinBlock(newPin, newPinLength, &block);
    if (rc != QAV_OK) return rc;
    plain.reserve(block.size() + 1);
    plain.push_back(static_cast<uint8_t>(block.size()));
    plain.insert(plain.end(), block.begin(), block.end());

    std::array<uint8_t, 16> challenge{};
    if (challengeLength > challenge.size()) return QAV_E_BAD_LENGTH;
    rc = GetChallenge(challenge.data(), challengeLength, 0);
    if (rc != QAV_OK) return rc;

    std::vector<uint8_t> data;
    const platform::WipeOnExit wipeData(data);
    data.reserve(kCryptogramArea + kMacLength);  // never reallocated: no stray copies
    if (mode == 0) {
        data.assign(plain.begin(), plain.end());
    } else {
        data.assign(kCryptogramArea, 0);
        uint32_t produced = kCryptogramArea;
        // This callback reports success as non-zero.
        if (encrypt(challenge.data(), challengeLength, plain.data(),
                    static_cast<uint32_t>(plain.size()), data.data(), &produced, user1,
                    user2) == 0) {
            return QAV_E_CONVERSION;
        }
        if (produced > kMaxCryptogramLength) return QAV_E_CONVERSION;
        data.resize(produced);
    }

    ApduHeader header = kReloadPinHeader;
    header.p2 = mode == 0 ? 0x00 : 0x02;
    CApdu apdu(Format());
    apdu.SetHeader(header);
    apdu.lc = static_cast<uint32_t>(data.size()) + kMacLength;
    apdu.SetData(data.data(), static_cast<uint32_t>(data.size()));
    apdu.Build();
    std::array<uint8_t, kMacLength> macBytes{};
    rc = mac(challenge.data(), challengeLength, apdu.Command(), apdu.CommandLength(),
             macBytes.data(), user1, user2);
    if (rc != QAV_OK) return rc;

    data.insert(data.end(), macBytes.begin(), macBytes.end());
    apdu.SetData(data.data(), static_cast<uint32_t>(data.size()));
    apdu.Build();
    return DecodePinStatus(SendApdu(&apdu), PinCommand::kChange, triesLeft);
}

}  // namespace qav
