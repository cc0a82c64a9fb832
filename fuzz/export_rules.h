// What each export may return, one row per export, read off the public
// header: its own list, plus the families its section allows (a card status
// word, what any exchange may fail with, a smart-card service error, and
// the failures every card operation may report).
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>

#include "qavseal/qavseal.h"

namespace qav::fuzz {

// Operations of the fuzz input: the exports in header order (but the one
// added since the seeds were recorded), then events of the service and the
// reader.
enum ExportId : uint8_t {
    kInitialize,
    kFinalize,
    kGetDeviceList,
    kOpenDevice,
    kCloseDevice,
    kLock,
    kUnlock,
    kTransmit,
    kReset,
    kGetState,
    kClearSecureState,
    kGetSealDeviceAbility,
    kGetAbilityInfo,
    kVerifyPin,
    kChangePin,
    kReloadPin,
    kGenRandom,
    kReadFile,
    kWriteFile,
    kHash,
    kInternalAuth,
    kExternalAuth,
    kDeliveryKey,
    kGenerateToken1,
    kGenerateSk,
    kExportAppAuthKey,
    kCipherDataEncrypt,
    kCipherDataDecrypt,
    kCipherDataMac,
    kSealWrite,
    kSealSign,
    kGetSealPic,
    kGetSealWaterMarkPic,
    kGetCardNumber,
    kGetContainerList,
    kReadCert,
    kGenKeyPair,
    kExportPublicKey,
    kWritePublicKey,
    kWritePrivateKey,
    kPublicKeyCalc,
    kPrivateKeyCalc,
    kVerifyCertData,
    kImportSessionKey,
    kExportSessionKey,
    kGetEnDeKeyHandle,
    kDelSessionKey,
    kSessionKeyEncrypt,
    kSessionKeyDecrypt,
    kDetectDeviceChange,
    kCancelDetectDeviceChange,
    kPrivateKeyCalcRaw,  // last, so the recorded seeds keep their meaning
    kExportCount,
    kServiceFault = kExportCount,  // the service fails its next calls of a kind
    kPullCard,
    kInsertCard,
    kServiceRestart,  // every context goes stale; the service may stay down
    kOperationCount,
};

// What the fuzz callbacks return when told to fail: their own result is
// handed back to the caller unchanged.
inline constexpr uint32_t kCallbackFailure = 0xCB0000F1u;

enum Family : uint8_t {
    kCardStatus = 1,  // QAV_CARD_STATUS(sw)
    kExchange = 2,    // a failed GET RESPONSE's bare status word, an answer without one
    kService = 4,     // 0x801000xx from the smart-card service
    kCallback = 8,    // a callback's own failure
    kCardOperation = kCardStatus | kExchange | kService,
};

struct ExportRule {
    const char* name;
    std::initializer_list<uint32_t> codes;
    uint8_t families;
};

// Every card operation may also answer these (the header's shared list).
inline constexpr std::array<uint32_t, 4> kCardOperationCodes = {
    QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE, QAV_E_NOT_SUPPORTED, QAV_E_NO_MEMORY};

const ExportRule& Rule(ExportId id);
// QAV_E_INTERNAL is never allowed: nothing the fake service or card does is
// an internal failure, so one means an exception escaped a card operation.
bool Allowed(ExportId id, uint32_t rc);

}  // namespace qav::fuzz
