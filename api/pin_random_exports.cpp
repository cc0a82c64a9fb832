// PIN verification and change, random numbers, and the payment card number.
#include <cstring>
#include <string>
#include <vector>

#include "api/card_export.h"
#include "api/device_state.h"
#include "api/payment_application.h"
#include "card/common/pin_block.h"
#include "platform/secure_memory.h"

using qav::CCardSeal;
using qav::CDevice;
using qav::api::kNoProbe;
using qav::api::kProbe;
using qav::api::ProbeUnless;
using qav::api::RunCardExport;

namespace {

constexpr uint32_t kChallengeBlock = 16;

// flags non-zero: the PIN is entered on the reader's pad, none is passed.
uint32_t VerifyPin(CCardSeal& card, const char* pin, uint32_t* triesLeft, uint32_t flags) {
    if (flags != 0) return card.VerifyPIN(0, nullptr, 0, triesLeft, flags);
    return card.VerifyPIN(0, pin, qav::PinTextLength(pin), triesLeft, flags);
}

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_VerifyPIN(QAV_HANDLE handle, const char* pin,
                                                     uint32_t* triesLeft, uint32_t flags) {
    const auto checks = [&] {
        return flags == 0 ? qav::CheckVerifyPin(0, pin, qav::PinTextLength(pin), triesLeft)
                          : QAV_OK;
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        return VerifyPin(card, pin, triesLeft, flags);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ChangePIN(QAV_HANDLE handle, const char* oldPin,
                                                     const char* newPin, uint32_t* triesLeft,
                                                     uint32_t flags) {
    const auto checks = [&] {
        if (flags != 0) return QAV_OK;
        if (oldPin == nullptr || newPin == nullptr) return QAV_E_NULL_POINTER;
        // Whole PINs. The texts are read no further than one character past
        // the longest PIN, so two PINs too long to pass are never "the same"
        // (whatever lies past that): the length check refuses them instead.
        const uint32_t length = qav::PinTextLength(oldPin);
        if (length <= qav::kMaxPinLength && length == qav::PinTextLength(newPin) &&
            std::memcmp(oldPin, newPin, length) == 0) {
            return QAV_E_PIN_UNCHANGED;
        }
        return qav::CheckChangePin(0, oldPin, length, newPin, qav::PinTextLength(newPin),
                                   triesLeft);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        if (flags != 0) return card.ChangePIN(0, nullptr, 0, nullptr, 0, triesLeft, flags);
        if (const uint32_t rc = card.ChangePIN(0, oldPin, qav::PinTextLength(oldPin), newPin,
                                               qav::PinTextLength(newPin), triesLeft, 0)) {
            return rc;
        }
        // The new PIN is verified at once, and the change marked for
        // QAV_GetState; a failure here leaves the PIN changed all the same.
        if (const uint32_t rc = qav::SelectSealApplication(device, 0, 0)) return rc;
        if (const uint32_t rc = VerifyPin(card, newPin, triesLeft, 0)) return rc;
        const uint8_t changed = 0x01;
        return qav::WriteCardFile(device, qav::api::kPinMarkerFile, qav::api::kPinMarkerOffset,
                                  &changed, 1, 0, nullptr, nullptr, nullptr, 0, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GenRandom(QAV_HANDLE handle, uint8_t* out,
                                                     uint32_t length, uint32_t skip) {
    const auto checks = [&] {
        if (out == nullptr) return QAV_E_NULL_POINTER;
        // Bounded, so a length of 0xFFFFFFFF is refused at once rather than
        // asking the card for 268 million challenges.
        return length == 0 || length > QAV_RANDOM_MAX_LENGTH ? QAV_E_BAD_LENGTH : QAV_OK;
    };
    return RunCardExport(handle, checks, ProbeUnless(skip), [&](CDevice&, CCardSeal& card) {
        // Whole challenges of 16 bytes; the rest of the last is dropped.
        const size_t blocks = (size_t{length} + kChallengeBlock - 1) / kChallengeBlock;
        std::vector<uint8_t> random(blocks * kChallengeBlock);
        const qav::platform::WipeOnExit wipe(random);
        for (size_t i = 0; i < blocks; ++i) {
            if (const uint32_t rc =
                    card.GetChallenge(random.data() + i * kChallengeBlock, kChallengeBlock, 0)) {
                return rc;
            }
        }
        std::memcpy(out, random.data(), length);
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetCardNumber(QAV_HANDLE handle, char* out,
                                                         uint32_t* outLength,
                                                         uint32_t /*reserved*/) {
    const auto checks = [&] { return outLength == nullptr ? QAV_E_NULL_POINTER : QAV_OK; };
    return RunCardExport(handle, checks, kNoProbe, [&](CDevice& device, CCardSeal&) {
        return qav::api::ReadCardNumber(device, out, outLength);
    });
}
