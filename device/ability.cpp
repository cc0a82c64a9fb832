#include "device/ability.h"

#include <utility>

#include "qavseal/qavseal.h"
#include "reader/tlv.h"

namespace qav {
namespace {

constexpr uint8_t kAbilityTag = 0x97;
constexpr uint32_t kWordFields[] = {0, 2, 4, 17, 19, 21, 24};

}  // namespace

uint32_t DecodeAbilityFlags(const uint8_t* answer, uint32_t length, uint32_t* flag1,
                            uint32_t* flag2) {
    CTlvList outer;
    if (outer.Parse(answer, length) != QAV_OK || outer.Count() != 1) return QAV_E_UNEXPECTED_DATA;
    const TlvElement* control = outer.Get(0);
    if (control == nullptr) return QAV_E_UNEXPECTED_DATA;
    CTlvList middle;
    middle.Parse(control->Value(), control->ValueLength());
    const TlvElement* first = middle.Get(0);
    if (first == nullptr) return QAV_E_UNEXPECTED_DATA;
    CTlvList inner;
    inner.Parse(first->Value(), first->ValueLength());

    uint32_t ability = 0;
    for (uint32_t i = 0; i < inner.Count(); ++i) {
        const TlvElement* element = inner.Get(i);
        if (element == nullptr || element->Tag() != kAbilityTag) continue;
        if (element->ValueLength() == 0) return QAV_E_UNEXPECTED_DATA;
        ability = element->Value()[0];
    }
    switch (ability) {
        case 0:
            *flag1 = 0;
            *flag2 = 0;
            return QAV_OK;
        case 1:
            *flag1 = 0;
            *flag2 = 1;
            return QAV_OK;
        case 2:
            *flag1 = 1;
            *flag2 = 1;
            return QAV_OK;
        default:
            return QAV_E_UNEXPECTED_DATA;
    }
}

void AbilityInfoToHostOrder(uint8_t* info) noexcept {
    for (const uint32_t at : kWordFields) std::swap(info[at], info[at + 1]);
}

}  // namespace qav
