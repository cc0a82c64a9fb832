// The seal device's abilities: flags from the application's control
// information, and the 64-byte ability file.
#include <array>
#include <utility>

#include "api/frame.h"
#include "card/seal/card_seal.h"
#include "device/ability.h"
#include "device/seal_application.h"

using qav::CDevice;
using qav::api::RunCardSequence;

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetSealDeviceAbility(QAV_HANDLE handle, uint32_t* flag1,
                                                                uint32_t* flag2,
                                                                uint32_t /*reserved*/) {
    const auto checks = [&] {
        return flag1 == nullptr || flag2 == nullptr ? QAV_E_NULL_POINTER : QAV_OK;
    };
    return RunCardSequence(handle, checks, [&](CDevice& device) {
        qav::CCardSeal* card = qav::SealCardOf(device);
        if (card == nullptr) return QAV_E_NOT_SUPPORTED;
        std::array<uint8_t, qav::kControlInformationSize> response{};
        uint32_t length = qav::kControlInformationSize;
        if (const uint32_t rc =
                card->SelectFile(1, qav::kSealApplicationName, sizeof qav::kSealApplicationName, 0,
                                 response.data(), &length, 0)) {
            return rc;
        }
        return qav::DecodeAbilityFlags(response.data(), length, flag1, flag2);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetAbilityInfo(QAV_HANDLE handle, uint8_t* info,
                                                          uint32_t /*reserved*/) {
    const auto checks = [&] { return info == nullptr ? QAV_E_NULL_POINTER : QAV_OK; };
    return RunCardSequence(handle, checks, [&](CDevice& device) {
        if (const uint32_t rc = qav::SelectSealApplication(device, 0, 0)) return rc;
        uint32_t length = qav::kAbilityInfoSize;
        if (const uint32_t rc =
                qav::ReadCardFile(device, qav::kAbilityFile, 0, info, &length, nullptr, 0, 0)) {
            return rc;
        }
        qav::AbilityInfoToHostOrder(info);
        return QAV_OK;
    });
}
