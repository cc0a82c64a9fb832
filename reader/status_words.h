// What the exchange itself does with a status word. The card operations map
// the rest in their own tables; the reader never looks at status words.
#pragma once

#include <cstdint>

namespace qav {

inline constexpr uint32_t kStatusOk = 0x9000;
// First byte of 61xx: xx more bytes wait for GET RESPONSE.
inline constexpr uint32_t kStatusBytesWaiting = 0x61;
// The card wants an Le it was not given.
inline constexpr uint32_t kStatusWrongLength = 0x6700;
// The identity-card readers' "PIN entry still running" answers to their polls.
inline constexpr uint32_t kStatusPinPadBusy = 0x8060;
inline constexpr uint32_t kStatusReaderBusy = 0x9600;

constexpr bool IsBytesWaiting(uint32_t statusWord) noexcept {
    return (statusWord >> 8) == kStatusBytesWaiting;
}
inline constexpr uint32_t kCardStatusBase = 0xE0180000u;

// The C header's QAV_CARD_STATUS / QAV_IS_CARD_STATUS, without C casts.
constexpr uint32_t CardStatus(uint32_t statusWord) noexcept {
    return kCardStatusBase | (statusWord & 0xFFFFu);
}
constexpr bool IsCardStatus(uint32_t result) noexcept {
    return (result & 0xFFFF0000u) == kCardStatusBase;
}

enum class ExchangeStep {
    kDone,           // 9000
    kFetchResponse,  // 61xx: xx bytes wait for GET RESPONSE
    kResendWithLe,   // 6Cxx: wrong Le, xx is the right one
    kCardError,      // anything else, reported as 0xE018xxxx
};

struct StatusRule {
    uint16_t mask;
    uint16_t value;
    ExchangeStep step;
};

inline constexpr StatusRule kExchangeRules[] = {
    {0xFFFF, 0x9000, ExchangeStep::kDone},
    {0xFF00, kStatusBytesWaiting << 8, ExchangeStep::kFetchResponse},
    {0xFF00, 0x6C00, ExchangeStep::kResendWithLe},
};

constexpr ExchangeStep ClassifyExchangeStatus(uint32_t statusWord) noexcept {
    if (statusWord > 0xFFFF) return ExchangeStep::kCardError;
    for (const StatusRule& rule : kExchangeRules) {
        if ((statusWord & rule.mask) == rule.value) return rule.step;
    }
    return ExchangeStep::kCardError;
}

}  // namespace qav
