// Identity-card key commands still to be built; each refuses without
// sending anything.
#include "card/card_zel.h"

namespace qav {

uint32_t CCardZel::ExportSessionKey(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint8_t*,
                                    uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::ImportSessionKey(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                    const uint8_t*, uint32_t, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::SessionKeyCipher(uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t,
                                    const uint8_t*, uint32_t, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::CardHash(uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t, uint8_t*,
                            uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::GenRSAKeyPair(uint32_t, uint32_t, uint32_t, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::RSAPublicKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                    uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::RSAPrivateKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                     uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::WriteRSAKey(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                               const uint8_t*, uint32_t, uint32_t, QAV_MacCallback, uintptr_t,
                               uintptr_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::GenSM2KeyPair(uint32_t, uint32_t, uint32_t, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::SM2PublicKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                    uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::SM2PrivateKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                     uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::WriteSM2Key(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                               const uint8_t*, uint32_t, uint32_t, QAV_MacCallback, uintptr_t,
                               uintptr_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::ExportPublicKey(uint32_t, int32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                   uint8_t*, uint32_t*, uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardZel::VerifyCertData(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                  uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

}  // namespace qav
