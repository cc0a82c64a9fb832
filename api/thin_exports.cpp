// The card exports that hand their arguments to one card operation. Each
// row: the probe it runs, then the operation with the caller's arguments.

#include "api/card_export.h"
#include "card/common/binary_transfer.h"
#include "card/common/key_command_support.h"
#include "card/common/pin_block.h"
#include "card/seal/card_seal.h"

using qav::CCardSeal;
using qav::CDevice;
using qav::api::kNoProbe;
using qav::api::kProbe;
using qav::api::NoChecks;
using qav::api::ProbeUnless;
using qav::api::RunCardExport;
using qav::api::ThinExport;

namespace {

// The key file QAV_Hash always names: the signer key of the preprocessing.
constexpr uint32_t kHashKeyFile = 0x3000;

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ReadFile(QAV_HANDLE handle, uint32_t fid,
                                                    uint32_t offset, uint8_t* out, uint32_t length,
                                                    QAV_ProgressCallback progress, uintptr_t user1,
                                                    uint32_t child) {
    // The length is the caller's by value: the read works on a copy.
    uint32_t working = length;
    // The file routine checks these too, but only after the probe's SELECT.
    const auto checks = [&] {
        if (fid > qav::kMaxFileId) return QAV_E_ID_TOO_LARGE;
        return qav::CheckBinaryRead(offset, out, &working);
    };
    return RunCardExport(handle, checks, ProbeUnless(child), [&](CDevice& device, CCardSeal&) {
        return qav::ReadCardFile(device, fid, offset, out, &working, progress, user1, child);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_WriteFile(
    QAV_HANDLE handle, uint32_t fid, uint32_t offset, const uint8_t* data, uint32_t dataLength,
    uint32_t challengeLength, QAV_EncryptCallback encrypt, QAV_MacCallback mac,
    QAV_ProgressCallback progress, uintptr_t user1, uintptr_t user2) {
    const auto checks = [&] {
        if (fid > qav::kMaxFileId) return QAV_E_ID_TOO_LARGE;
        return qav::CheckBinaryWrite(
            {offset, data, dataLength, {challengeLength, encrypt, mac, user1, user2}});
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal&) {
        return qav::WriteCardFile(device, fid, offset, data, dataLength, challengeLength, encrypt,
                                  mac, progress, user1, user2);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Hash(QAV_HANDLE handle, uint32_t mode,
                                                uint32_t algorithm, const uint8_t* data,
                                                uint32_t dataLength, uint8_t* out,
                                                uint32_t* outLength, uint32_t /*keyFile*/) {
    const auto checks = [&] {
        return qav::CheckCardHash(mode, algorithm, data, dataLength, kHashKeyFile, outLength);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        return card.CardHash(mode, algorithm, data, dataLength, kHashKeyFile, out, outLength, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_InternalAuth(QAV_HANDLE handle, uint32_t keyReference,
                                                        const uint8_t* data, uint32_t dataLength,
                                                        uint8_t* out, uint32_t* outLength,
                                                        uint32_t skip) {
    const auto checks = [&] {
        return qav::CheckInternalAuth(static_cast<int32_t>(keyReference), data,
                                      static_cast<int32_t>(dataLength), outLength);
    };
    return RunCardExport(handle, checks, ProbeUnless(skip), [&](CDevice&, CCardSeal& card) {
        return card.InternalAuth(static_cast<int32_t>(keyReference), data,
                                 static_cast<int32_t>(dataLength), out, outLength, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ExternalAuth(QAV_HANDLE handle, uint32_t keyReference,
                                                        uint32_t challengeLength,
                                                        QAV_CryptogramCallback cryptogram,
                                                        uint32_t* triesLeft, uintptr_t user1,
                                                        uintptr_t user2) {
    const auto checks = [&] {
        return qav::CheckExternalAuth(keyReference, challengeLength, cryptogram, triesLeft);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        return card.ExternalAuth(keyReference, challengeLength, cryptogram, triesLeft, user1,
                                 user2);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ReloadPIN(QAV_HANDLE handle, uint32_t challengeLength,
                                                     QAV_EncryptCallback encrypt,
                                                     QAV_MacCallback mac, const char* newPin,
                                                     uint32_t* triesLeft, uintptr_t user1,
                                                     uintptr_t user2) {
    const uint32_t mode = encrypt != nullptr ? 1 : 0;
    const auto checks = [&] {
        return qav::CheckReloadPin(mode, challengeLength, encrypt, mac, newPin,
                                   qav::PinTextLength(newPin), triesLeft);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice&, CCardSeal& card) {
        return card.ReloadPIN(mode, challengeLength, encrypt, mac, newPin,
                              qav::PinTextLength(newPin), triesLeft, user1, user2);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_DeliveryKey(QAV_HANDLE handle, uint32_t keyType,
                                                       uint32_t keyReference, const uint8_t* key,
                                                       uint32_t keyLength, uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.DeliveryKey(keyType, keyReference, key, keyLength, reserved);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GenerateToken1(QAV_HANDLE handle, uint32_t keyType,
                                                          uint32_t keyReference, uint8_t* out,
                                                          uint32_t* outLength, uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.GenerateToken1(keyType, keyReference, out, outLength, reserved);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GenerateSK(QAV_HANDLE handle, uint32_t keyType,
                                                      uint32_t keyReference, const uint8_t* data,
                                                      uint32_t dataLength, uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.GenerateSK(keyType, keyReference, data, dataLength, reserved);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ExportAppAuthKey(QAV_HANDLE handle, uint32_t keyIndex,
                                                            uint8_t* out, uint32_t* outLength,
                                                            uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.ExportAppAuthKey(keyIndex, out, outLength, reserved);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API
QAV_CipherDataEncrypt(QAV_HANDLE handle, const uint8_t* iv, uint32_t ivLength, const uint8_t* key,
                      uint32_t keyLength, uint32_t keyMode, const uint8_t* data,
                      uint32_t dataLength, uint8_t* out, uint32_t* outLength, uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.CipherData(0, 1, 0, iv, ivLength, key, keyLength, keyMode, data, dataLength,
                               out, outLength, reserved);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API
QAV_CipherDataDecrypt(QAV_HANDLE handle, const uint8_t* iv, uint32_t ivLength, const uint8_t* key,
                      uint32_t keyLength, uint32_t keyMode, const uint8_t* data,
                      uint32_t dataLength, uint8_t* out, uint32_t* outLength, uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.CipherData(0, 0, 0, iv, ivLength, key, keyLength, keyMode, data, dataLength,
                               out, outLength, reserved);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_CipherDataMac(QAV_HANDLE handle, const uint8_t* iv,
                                                         uint32_t ivLength, const uint8_t* key,
                                                         uint32_t keyLength, const uint8_t* data,
                                                         uint32_t dataLength, uint8_t* out,
                                                         uint32_t* outLength, uint32_t reserved) {
    return ThinExport(handle, kNoProbe, [&](CCardSeal& card) {
        return card.CipherData(0, 0, 1, iv, ivLength, key, keyLength, 1, data, dataLength, out,
                               outLength, reserved);
    });
}
