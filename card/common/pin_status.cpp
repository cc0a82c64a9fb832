#include "card/common/pin_status.h"

#include <cstddef>

#include "qavseal/qavseal.h"
#include "reader/status_words.h"

namespace qav {

namespace {

enum class Tries { kUntouched, kLowNibble, kZero };

struct PinStatusRule {
    uint16_t mask;
    uint16_t value;
    Tries tries;
    uint32_t result;
};

// VerifyPIN, ChangePIN and ReloadPIN on both cards.
constexpr PinStatusRule kPinRules[] = {
    {0xFFF0, 0x63C0, Tries::kLowNibble, QAV_E_PIN_WRONG},
    {0xFFFF, 0x6983, Tries::kZero, QAV_E_PIN_BLOCKED},
    {0xFFFF, 0x8005, Tries::kUntouched, QAV_E_PIN_NOT_ACCEPTED},
    {0xFFFF, 0x6D00, Tries::kUntouched, QAV_E_PIN_NOT_ACCEPTED},
    {0xFFFF, 0x8025, Tries::kUntouched, QAV_E_PIN_REFUSED},
    {0xFFFF, 0x8026, Tries::kUntouched, QAV_E_PIN_LENGTH},
};

// Authentication counts failed attempts as a change does and names nothing
// else.
constexpr PinStatusRule kExternalAuthRules[] = {
    {0xFFF0, 0x63C0, Tries::kLowNibble, QAV_E_PIN_WRONG},
    {0xFFFF, 0x6983, Tries::kZero, QAV_E_PIN_BLOCKED},
};

template <size_t N>
uint32_t Decode(uint32_t result, const PinStatusRule (&rules)[N], bool noneLeftBlocks,
                uint32_t* triesLeft) noexcept {
    if (!IsCardStatus(result)) return result;
    const uint32_t sw = result & 0xFFFFu;
    for (const PinStatusRule& rule : rules) {
        if ((sw & rule.mask) != rule.value) continue;
        if (rule.tries == Tries::kUntouched) return rule.result;
        const uint32_t count = rule.tries == Tries::kLowNibble ? (sw & 0x0Fu) : 0;
        if (triesLeft != nullptr) *triesLeft = count;
        return (noneLeftBlocks && count == 0) ? QAV_E_PIN_BLOCKED : rule.result;
    }
    return result;
}

}  // namespace

uint32_t DecodePinStatus(uint32_t result, PinCommand command, uint32_t* triesLeft) noexcept {
    switch (command) {
        case PinCommand::kVerify:
            return Decode(result, kPinRules, true, triesLeft);
        case PinCommand::kChange:
            return Decode(result, kPinRules, false, triesLeft);
        case PinCommand::kExternalAuth:
            return Decode(result, kExternalAuthRules, false, triesLeft);
    }
    return result;
}

}  // namespace qav
