// Seal operations still to be built; each refuses without sending anything.
#include "card/card_seal.h"

namespace qav {

uint32_t CCardSeal::ExternalAuth(uint32_t, uint32_t, QAV_CryptogramCallback, uint32_t*, uintptr_t,
                                 uintptr_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::InternalAuth(int32_t, const uint8_t*, int32_t, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::DeliveryKey(uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::CipherData(uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t,
                               const uint8_t*, uint32_t, uint32_t, const uint8_t*, uint32_t,
                               uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::GenerateToken1(uint32_t, uint32_t, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::GenerateSK(uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardSeal::ExportAppAuthKey(uint32_t, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

}  // namespace qav
