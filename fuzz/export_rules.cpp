#include "fuzz/export_rules.h"

#include <algorithm>

namespace qav::fuzz {
namespace {

// A row per export, in ExportId order. Card operations list only their own
// codes; the shared ones are added in Allowed().
constexpr uint8_t kNone = 0;
constexpr uint8_t kCard = kCardOperation;
constexpr uint8_t kCardAndCallback = kCardOperation | kCallback;

const ExportRule kRules[kExportCount] = {
    {"QAV_Initialize", {QAV_OK}, kService},
    {"QAV_Finalize", {QAV_OK, QAV_E_NOT_INITIALIZED}, kService},
    {"QAV_GetDeviceList",
     {QAV_OK, QAV_E_NO_DEVICE, QAV_E_NOT_INITIALIZED, QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL},
     kService},
    {"QAV_OpenDevice",
     {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_NULL_POINTER, QAV_E_NO_DEVICE, QAV_E_CARD_OBJECT,
      QAV_E_READER_OBJECT},
     kService},
    {"QAV_CloseDevice", {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE}, kService},
    {"QAV_Lock", {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE}, kService},
    {"QAV_Unlock", {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE}, kService},
    {"QAV_Transmit",
     {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH,
      QAV_E_BUFFER_TOO_SMALL, QAV_E_UNEXPECTED_DATA},
     kExchange | kService},
    {"QAV_Reset", {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE}, kCard},
    {"QAV_GetState",
     {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE, QAV_E_NULL_POINTER, QAV_E_BAD_SELECTOR,
      QAV_E_NOT_SUPPORTED, QAV_E_NOT_FOUND},
     kCard},
    {"QAV_ClearSecureState", {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE}, kCard},
    {"QAV_GetSealDeviceAbility",
     {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE, QAV_E_NULL_POINTER,
      QAV_E_UNEXPECTED_DATA},
     kCard},
    {"QAV_GetAbilityInfo",
     {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_INVALID_HANDLE, QAV_E_NULL_POINTER},
     kCard},
    {"QAV_VerifyPIN",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_PIN_LENGTH, QAV_E_PIN_WRONG, QAV_E_PIN_BLOCKED,
      QAV_E_PIN_NOT_ACCEPTED, QAV_E_PIN_REFUSED},
     kCard},
    {"QAV_ChangePIN",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_PIN_UNCHANGED, QAV_E_PIN_LENGTH, QAV_E_CONVERSION,
      QAV_E_PIN_WRONG, QAV_E_PIN_BLOCKED, QAV_E_PIN_NOT_ACCEPTED, QAV_E_PIN_REFUSED},
     kCard},
    {"QAV_ReloadPIN",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_PIN_LENGTH, QAV_E_CONVERSION,
      QAV_E_PIN_WRONG, QAV_E_PIN_BLOCKED, QAV_E_PIN_NOT_ACCEPTED, QAV_E_PIN_REFUSED},
     kCardAndCallback},
    {"QAV_GenRandom", {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH}, kCard},
    {"QAV_ReadFile",
     {QAV_OK, QAV_E_ID_TOO_LARGE, QAV_E_OFFSET_TOO_LARGE, QAV_E_BAD_LENGTH, QAV_E_UNEXPECTED_DATA},
     kCard},
    {"QAV_WriteFile",
     {QAV_OK, QAV_E_ID_TOO_LARGE, QAV_E_OFFSET_TOO_LARGE, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH},
     kCardAndCallback},
    {"QAV_Hash",
     {QAV_OK, QAV_E_BAD_SELECTOR, QAV_E_BAD_ALGORITHM, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH,
      QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_InternalAuth",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_ID_TOO_LARGE, QAV_E_BUFFER_TOO_SMALL,
      QAV_E_UNEXPECTED_DATA},
     kCard},
    {"QAV_ExternalAuth",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_PIN_WRONG, QAV_E_PIN_BLOCKED},
     kCardAndCallback},
    {"QAV_DeliveryKey", {QAV_OK, QAV_E_BAD_KEY, QAV_E_ID_TOO_LARGE, QAV_E_BAD_LENGTH}, kCard},
    {"QAV_GenerateToken1",
     {QAV_OK, QAV_E_BAD_KEY, QAV_E_ID_TOO_LARGE, QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL,
      QAV_E_UNEXPECTED_DATA},
     kCard},
    {"QAV_GenerateSK",
     {QAV_OK, QAV_E_BAD_KEY, QAV_E_ID_TOO_LARGE, QAV_E_BAD_LENGTH, QAV_E_NOT_FOUND},
     kCard},
    {"QAV_ExportAppAuthKey",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_KEY_INDEX, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_CipherDataEncrypt",
     {QAV_OK, QAV_E_BAD_CIPHER_MODE, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_CipherDataDecrypt",
     {QAV_OK, QAV_E_BAD_CIPHER_MODE, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_CipherDataMac",
     {QAV_OK, QAV_E_BAD_CIPHER_MODE, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_SealWrite", {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_UNEXPECTED_DATA}, kCard},
    {"QAV_SealSign",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_NO_CONTAINER, QAV_E_UNEXPECTED_DATA,
      QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_GetSealPic",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL, QAV_E_UNEXPECTED_DATA,
      QAV_E_ID_TOO_LARGE},
     kCard},
    {"QAV_GetSealWaterMarkPic",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_NO_CONTAINER, QAV_E_BUFFER_TOO_SMALL,
      QAV_E_UNEXPECTED_DATA, QAV_E_ID_TOO_LARGE},
     kCard},
    {"QAV_GetCardNumber",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL, QAV_E_NOT_FOUND},
     kCard},
    {"QAV_GetContainerList", {QAV_OK, QAV_E_NULL_POINTER}, kCard},
    {"QAV_ReadCert",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_GenKeyPair",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_ALGORITHM, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND},
     kCard},
    {"QAV_ExportPublicKey",
     {QAV_OK, QAV_E_BAD_ALGORITHM, QAV_E_NULL_POINTER, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND,
      QAV_E_BAD_SELECTOR, QAV_E_BUFFER_TOO_SMALL, QAV_E_UNEXPECTED_DATA},
     kCard},
    {"QAV_WritePublicKey",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_BAD_KEY, QAV_E_NO_CONTAINER,
      QAV_E_NOT_FOUND, QAV_E_BAD_ALGORITHM, QAV_E_BAD_SELECTOR},
     kCardAndCallback},
    {"QAV_WritePrivateKey",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_BAD_KEY, QAV_E_NO_CONTAINER,
      QAV_E_NOT_FOUND, QAV_E_BAD_ALGORITHM, QAV_E_BAD_SELECTOR},
     kCardAndCallback},
    {"QAV_PublicKeyCalc",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND,
      QAV_E_BAD_ALGORITHM, QAV_E_PADDING, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_PrivateKeyCalc",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND,
      QAV_E_BAD_ALGORITHM, QAV_E_PADDING, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_VerifyCertData",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND, QAV_E_BAD_ALGORITHM,
      QAV_E_BAD_LENGTH},
     kCard},
    {"QAV_ImportSessionKey",
     {QAV_OK, QAV_E_BAD_ALGORITHM, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_NO_CONTAINER,
      QAV_E_NOT_FOUND, QAV_E_UNEXPECTED_DATA},
     kCard},
    {"QAV_ExportSessionKey",
     {QAV_OK, QAV_E_BAD_KEY, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND, QAV_E_BAD_ALGORITHM,
      QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL},
     kCard},
    {"QAV_GetEnDeKeyHandle", {QAV_OK, QAV_E_NULL_POINTER}, kCard},
    {"QAV_DelSessionKey", {QAV_OK, QAV_E_BAD_KEY}, kCard},
    {"QAV_SessionKeyEncrypt",
     {QAV_OK, QAV_E_BAD_KEY, QAV_E_BAD_LENGTH, QAV_E_IV_LENGTH, QAV_E_BAD_SELECTOR, QAV_E_PADDING,
      QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL, QAV_E_BAD_CIPHER_MODE},
     kCard},
    {"QAV_SessionKeyDecrypt",
     {QAV_OK, QAV_E_BAD_KEY, QAV_E_BAD_LENGTH, QAV_E_IV_LENGTH, QAV_E_BAD_SELECTOR, QAV_E_PADDING,
      QAV_E_NULL_POINTER, QAV_E_BUFFER_TOO_SMALL, QAV_E_BAD_CIPHER_MODE},
     kCard},
    {"QAV_DetectDeviceChange",
     {QAV_OK, QAV_E_NOT_INITIALIZED, QAV_E_NULL_POINTER, QAV_E_THREAD},
     kNone},
    {"QAV_CancelDetectDeviceChange", {QAV_OK, QAV_E_NOT_INITIALIZED}, kNone},
    {"QAV_PrivateKeyCalcRaw",
     {QAV_OK, QAV_E_NULL_POINTER, QAV_E_BAD_LENGTH, QAV_E_NO_CONTAINER, QAV_E_NOT_FOUND,
      QAV_E_BAD_ALGORITHM, QAV_E_BUFFER_TOO_SMALL, QAV_E_UNEXPECTED_DATA},
     kCard},
};

bool IsCardOperation(ExportId id) {
    return (id >= kVerifyPin && id <= kSessionKeyDecrypt) || id == kPrivateKeyCalcRaw;
}

}  // namespace

const ExportRule& Rule(ExportId id) { return kRules[id]; }

bool Allowed(ExportId id, uint32_t rc) {
    if (rc == QAV_E_INTERNAL) return false;
    const ExportRule& rule = kRules[id];
    if (std::find(rule.codes.begin(), rule.codes.end(), rc) != rule.codes.end()) return true;
    if (rc == QAV_E_NO_MEMORY) return true;  // any export may run out of memory
    if (IsCardOperation(id) && std::find(kCardOperationCodes.begin(), kCardOperationCodes.end(),
                                         rc) != kCardOperationCodes.end()) {
        return true;
    }
    if ((rule.families & kCardStatus) != 0 && QAV_IS_CARD_STATUS(rc)) return true;
    if ((rule.families & kExchange) != 0 && (rc <= 0xFFFFu || rc == QAV_E_UNEXPECTED_DATA)) {
        return true;
    }
    if ((rule.families & kService) != 0 && (rc & 0xFFFFFF00u) == 0x80100000u) return true;
    return (rule.families & kCallback) != 0 && rc == kCallbackFailure;
}

}  // namespace qav::fuzz
