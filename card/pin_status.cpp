#include "card/pin_status.h"

#include "qavseal/qavseal.h"
#include "reader/status_words.h"

namespace qav {

namespace {

enum class Tries { kUntouched, kLowNibble, kZero };

struct PinStatusRule {
    uint16_t mask;
    uint16_t value;
    Tries tries;
    uint32_t verifyResult;
    uint32_t verifyResultNoneLeft;  // VerifyPIN when the count reaches 0
    uint32_t changeResult;
};

constexpr PinStatusRule kPinRules[] = {
    {0xFFF0, 0x63C0, Tries::kLowNibble, QAV_E_PIN_WRONG, QAV_E_PIN_BLOCKED, QAV_E_PIN_WRONG},
    {0xFFFF, 0x6983, Tries::kZero, QAV_E_PIN_BLOCKED, QAV_E_PIN_BLOCKED, QAV_E_PIN_BLOCKED},
    {0xFFFF, 0x8005, Tries::kUntouched, QAV_E_PIN_NOT_ACCEPTED, QAV_E_PIN_NOT_ACCEPTED,
     QAV_E_PIN_NOT_ACCEPTED},
    {0xFFFF, 0x6D00, Tries::kUntouched, QAV_E_PIN_NOT_ACCEPTED, QAV_E_PIN_NOT_ACCEPTED,
     QAV_E_PIN_NOT_ACCEPTED},
    {0xFFFF, 0x8025, Tries::kUntouched, QAV_E_PIN_REFUSED, QAV_E_PIN_REFUSED, QAV_E_PIN_REFUSED},
    {0xFFFF, 0x8026, Tries::kUntouched, QAV_E_PIN_LENGTH, QAV_E_PIN_LENGTH, QAV_E_PIN_LENGTH},
};

}  // namespace

uint32_t DecodePinStatus(uint32_t result, PinCommand command, uint32_t* triesLeft) noexcept {
    if (!IsCardStatus(result)) return result;
    const uint32_t sw = result & 0xFFFFu;
    for (const PinStatusRule& rule : kPinRules) {
        if ((sw & rule.mask) != rule.value) continue;
        uint32_t count = 0;
        if (rule.tries != Tries::kUntouched) {
            count = rule.tries == Tries::kLowNibble ? (sw & 0x0Fu) : 0;
            if (triesLeft != nullptr) *triesLeft = count;
        }
        if (command == PinCommand::kChange) return rule.changeResult;
        return (rule.tries != Tries::kUntouched && count == 0) ? rule.verifyResultNoneLeft
                                                               : rule.verifyResult;
    }
    return result;
}

}  // namespace qav
