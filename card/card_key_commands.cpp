// Key commands still to be built.
#include "card/card_key_commands.h"

namespace qav {

uint32_t CCardKeyCommands::ExportSessionKey(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                            uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::ImportSessionKey(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                            uint32_t, const uint8_t*, uint32_t, uint32_t*,
                                            uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::SessionKeyCipher(uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t,
                                            const uint8_t*, uint32_t, uint8_t*, uint32_t*,
                                            uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::CardHash(uint32_t, uint32_t, const uint8_t*, uint32_t, uint32_t,
                                    uint8_t*, uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::GenRSAKeyPair(uint32_t, uint32_t, uint32_t, uint8_t*, uint32_t*,
                                         uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::RSAPublicKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                            uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::RSAPrivateKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                             uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::WriteRSAKey(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                       const uint8_t*, uint32_t, uint32_t, QAV_MacCallback,
                                       uintptr_t, uintptr_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::GenSM2KeyPair(uint32_t, uint32_t, uint32_t, uint8_t*, uint32_t*,
                                         uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::SM2PublicKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                            uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::SM2PrivateKeyCalc(uint32_t, uint32_t, const uint8_t*, uint32_t, uint8_t*,
                                             uint32_t*, uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::WriteSM2Key(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                       const uint8_t*, uint32_t, uint32_t, QAV_MacCallback,
                                       uintptr_t, uintptr_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::ExportPublicKey(uint32_t, int32_t, uint32_t, uint32_t, uint32_t,
                                           uint32_t, uint8_t*, uint32_t*, uint8_t*, uint32_t*,
                                           uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

uint32_t CCardKeyCommands::VerifyCertData(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                                          uint32_t, uint32_t, uint32_t, const uint8_t*, uint32_t,
                                          uint32_t) {
    return QAV_E_NOT_SUPPORTED;
}

}  // namespace qav
