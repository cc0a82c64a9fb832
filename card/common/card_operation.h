// The card operations by position: the seal card's order, and where the same
// operation sits on the identity card (kNone: it has no such operation).
#pragma once

#include <cstdint>

namespace qav {

enum class SealOperation : uint32_t {
    kGetResponse = 0,
    kSelectFile = 1,
    kUpdateBinary = 2,
    kReadBinary = 3,
    kGetChallenge = 4,
    kExternalAuth = 5,
    kInternalAuth = 6,
    kReloadPIN = 7,
    kExportSessionKey = 8,
    kImportSessionKey = 9,
    kSessionKeyCipher = 10,
    kCardHash = 11,
    kGenRSAKeyPair = 12,
    kRSAPublicKeyCalc = 13,
    kRSAPrivateKeyCalc = 14,
    kWriteRSAKey = 15,
    kGenSM2KeyPair = 16,
    kSM2PublicKeyCalc = 17,
    kSM2PrivateKeyCalc = 18,
    kWriteSM2Key = 19,
    kExportPublicKey = 20,
    kVerifyCertData = 21,
    kReservedOperation22 = 22,
    kReservedOperation23 = 23,
    kSealWrite = 24,
    kSealSign = 25,
    kVerifyPIN = 26,
    kChangePIN = 27,
    kDeliveryKey = 28,
    kCipherData = 29,
    kGenerateToken1 = 30,
    kGenerateSK = 31,
    kReset = 32,
    kExportAppAuthKey = 33,
};

inline constexpr uint32_t kSealOperationCount = 34;
inline constexpr uint32_t kIdentityOperationCount = 24;
inline constexpr uint32_t kNoIdentityPosition = 0xFFFFFFFFu;

struct CardOperationEntry {
    SealOperation seal;
    const char* name;
    uint32_t identityPosition;
};

inline constexpr CardOperationEntry kCardOperationTable[kSealOperationCount] = {
    {SealOperation::kGetResponse, "GetResponse", 0},
    {SealOperation::kSelectFile, "SelectFile", 1},
    {SealOperation::kUpdateBinary, "UpdateBinary", 2},
    {SealOperation::kReadBinary, "ReadBinary", 3},
    {SealOperation::kGetChallenge, "GetChallenge", 4},
    {SealOperation::kExternalAuth, "ExternalAuth", 5},
    {SealOperation::kInternalAuth, "InternalAuth", kNoIdentityPosition},
    {SealOperation::kReloadPIN, "ReloadPIN", kNoIdentityPosition},
    {SealOperation::kExportSessionKey, "ExportSessionKey", 10},
    {SealOperation::kImportSessionKey, "ImportSessionKey", 11},
    {SealOperation::kSessionKeyCipher, "SessionKeyCipher", 12},
    {SealOperation::kCardHash, "CardHash", 13},
    {SealOperation::kGenRSAKeyPair, "GenRSAKeyPair", 14},
    {SealOperation::kRSAPublicKeyCalc, "RSAPublicKeyCalc", 15},
    {SealOperation::kRSAPrivateKeyCalc, "RSAPrivateKeyCalc", 16},
    {SealOperation::kWriteRSAKey, "WriteRSAKey", 17},
    {SealOperation::kGenSM2KeyPair, "GenSM2KeyPair", 18},
    {SealOperation::kSM2PublicKeyCalc, "SM2PublicKeyCalc", 19},
    {SealOperation::kSM2PrivateKeyCalc, "SM2PrivateKeyCalc", 20},
    {SealOperation::kWriteSM2Key, "WriteSM2Key", 21},
    {SealOperation::kExportPublicKey, "ExportPublicKey", 22},
    {SealOperation::kVerifyCertData, "VerifyCertData", 23},
    {SealOperation::kReservedOperation22, "ReservedOperation", 8},
    {SealOperation::kReservedOperation23, "ReservedOperation", 8},
    {SealOperation::kSealWrite, "SealWrite", kNoIdentityPosition},
    {SealOperation::kSealSign, "SealSign", kNoIdentityPosition},
    {SealOperation::kVerifyPIN, "VerifyPIN", 6},
    {SealOperation::kChangePIN, "ChangePIN", 7},
    {SealOperation::kDeliveryKey, "DeliveryKey", kNoIdentityPosition},
    {SealOperation::kCipherData, "CipherData", kNoIdentityPosition},
    {SealOperation::kGenerateToken1, "GenerateToken1", kNoIdentityPosition},
    {SealOperation::kGenerateSK, "GenerateSK", kNoIdentityPosition},
    {SealOperation::kReset, "Reset", kNoIdentityPosition},
    {SealOperation::kExportAppAuthKey, "ExportAppAuthKey", kNoIdentityPosition},
};

// The table is indexed by seal position.
constexpr bool TableInSealOrder() noexcept {
    for (uint32_t i = 0; i < kSealOperationCount; ++i) {
        if (static_cast<uint32_t>(kCardOperationTable[i].seal) != i) return false;
    }
    return true;
}
static_assert(TableInSealOrder(), "card operation table out of order");

// Every identity position appears once, but 9 (the identity card's secured
// block write, which the seal card lacks) and 8 (the reserved operation, at
// two seal positions).
constexpr bool IdentityPositionsComplete() noexcept {
    for (uint32_t position = 0; position < kIdentityOperationCount; ++position) {
        uint32_t seen = 0;
        for (const CardOperationEntry& entry : kCardOperationTable) {
            if (entry.identityPosition == position) ++seen;
        }
        const uint32_t expected = position == 9 ? 0 : position == 8 ? 2 : 1;
        if (seen != expected) return false;
    }
    return true;
}
static_assert(IdentityPositionsComplete(), "identity positions do not form the identity table");

}  // namespace qav
