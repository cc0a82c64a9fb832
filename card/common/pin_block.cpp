#include "card/common/pin_block.h"

#include <cstring>

#include "codec/hex.h"
#include "platform/secure_memory.h"
#include "qavseal/qavseal.h"

namespace qav {

namespace {

constexpr uint32_t kMaxPinReference = 255;
constexpr uint8_t kPinBlockSeparator = 0xFF;

}  // namespace

uint32_t PackPinBlock(const char* pin, uint32_t length, std::vector<uint8_t>* block) {
    if (pin == nullptr || block == nullptr) return QAV_E_NULL_POINTER;
    block->assign((size_t{length} + 1) / 2, 0xFF);
    for (uint32_t i = 0; i < length; ++i) {
        const int nibble = HexDigitValue(pin[i]);
        if (nibble < 0) {
            platform::SecureWipe(block->data(), block->size());
            block->clear();
            return QAV_E_CONVERSION;
        }
        uint8_t& byte = (*block)[i / 2];
        byte = (i % 2 == 0) ? static_cast<uint8_t>((nibble << 4) | 0x0F)
                            : static_cast<uint8_t>((byte & 0xF0) | nibble);
    }
    return QAV_OK;
}

uint32_t PinTextLength(const char* pin) noexcept {
    return pin == nullptr ? 0 : static_cast<uint32_t>(strnlen(pin, kMaxPinLength + 1));
}

bool PinLengthOk(uint32_t length) noexcept {
    return length >= kMinPinLength && length <= kMaxPinLength;
}

bool PinDigitsOnly(const char* pin, uint32_t length) noexcept {
    for (uint32_t i = 0; i < length; ++i) {
        if (pin[i] < '0' || pin[i] > '9') return false;
    }
    return true;
}

uint32_t CheckVerifiablePin(const char* pin, uint32_t length) noexcept {
    if (!PinDigitsOnly(pin, length)) return QAV_E_NULL_POINTER;
    return PinLengthOk(length) ? QAV_OK : QAV_E_PIN_LENGTH;
}

uint32_t CheckVerifyPin(uint32_t pinReference, const char* pin, uint32_t pinLength,
                        const uint32_t* triesLeft) noexcept {
    if (pinReference > kMaxPinReference || pin == nullptr) return QAV_E_NULL_POINTER;
    if (const uint32_t rc = CheckVerifiablePin(pin, pinLength)) return rc;
    return triesLeft == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
}

uint32_t CheckChangePin(uint32_t pinReference, const char* oldPin, uint32_t oldLength,
                        const char* newPin, uint32_t newLength,
                        const uint32_t* triesLeft) noexcept {
    if (pinReference > kMaxPinReference || oldPin == nullptr) return QAV_E_NULL_POINTER;
    if (!PinLengthOk(oldLength)) return QAV_E_PIN_LENGTH;
    if (newPin == nullptr) return QAV_E_NULL_POINTER;
    // Hexadecimal letters would pack into a new PIN that VerifyPIN refuses
    // for ever: the card would change it and the user be locked out of
    // verification. Such a PIN is refused here, with the code VerifyPIN
    // gives it.
    if (const uint32_t rc = CheckVerifiablePin(newPin, newLength)) return rc;
    return triesLeft == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
}

uint32_t VerifyPinData(uint32_t pinReference, const char* pin, uint32_t pinLength,
                       const uint32_t* triesLeft, std::vector<uint8_t>* data) {
    if (const uint32_t rc = CheckVerifyPin(pinReference, pin, pinLength, triesLeft)) return rc;
    return PackPinBlock(pin, pinLength, data);
}

uint32_t ChangePinData(uint32_t pinReference, const char* oldPin, uint32_t oldLength,
                       const char* newPin, uint32_t newLength, const uint32_t* triesLeft,
                       std::vector<uint8_t>* data) {
    if (const uint32_t rc =
            CheckChangePin(pinReference, oldPin, oldLength, newPin, newLength, triesLeft)) {
        return rc;
    }

    std::vector<uint8_t> oldBlock;
    std::vector<uint8_t> newBlock;
    const platform::WipeOnExit wipeOld(oldBlock);
    const platform::WipeOnExit wipeNew(newBlock);
    uint32_t rc = PackPinBlock(oldPin, oldLength, &oldBlock);
    if (rc != QAV_OK) return rc;
    rc = PackPinBlock(newPin, newLength, &newBlock);
    if (rc != QAV_OK) return rc;
    // Reserved once, so no reallocation leaves a stray copy behind.
    data->reserve(oldBlock.size() + 1 + newBlock.size());
    data->insert(data->end(), oldBlock.begin(), oldBlock.end());
    data->push_back(kPinBlockSeparator);
    data->insert(data->end(), newBlock.begin(), newBlock.end());
    return QAV_OK;
}

}  // namespace qav
