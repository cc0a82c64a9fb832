// The function lists: 2.40 for C_GetFunctionList, and the 3.0 and 2.40
// interfaces that C_GetInterfaceList and C_GetInterface hand out.
#include <cstring>

#include "library_info.h"

namespace qav::p11 {

void FillInfo(CK_INFO* info) {
    std::memset(info, 0, sizeof *info);
    info->cryptokiVersion = {CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR};
    std::memset(info->manufacturerID, ' ', sizeof info->manufacturerID);
    std::memcpy(info->manufacturerID, "QAVSeal", 7);
    std::memset(info->libraryDescription, ' ', sizeof info->libraryDescription);
    std::memcpy(info->libraryDescription, "QAVSeal PKCS#11 module", 22);
    info->libraryVersion = {0, 1};
}

}  // namespace qav::p11

namespace {

// The 3.0 additions: none is offered.
CK_RV LoginUser(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR,
                CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV SessionCancel(CK_SESSION_HANDLE, CK_FLAGS) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV MessageInit(CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV CryptMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                   CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV CryptMessageBegin(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV CryptMessageNext(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                       CK_ULONG_PTR, CK_FLAGS) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV MessageFinal(CK_SESSION_HANDLE) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV SignMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                  CK_ULONG_PTR) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV MessageBegin(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG) { return CKR_FUNCTION_NOT_SUPPORTED; }
CK_RV VerifyMessage(CK_SESSION_HANDLE, CK_VOID_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                    CK_ULONG) {
    return CKR_FUNCTION_NOT_SUPPORTED;
}

}  // namespace

#define QAV_P11_FUNCTIONS_240                                                                     \
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo,         \
        C_GetTokenInfo, C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, \
        C_OpenSession, C_CloseSession, C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, \
        C_SetOperationState, C_Login, C_Logout, C_CreateObject, C_CopyObject, C_DestroyObject,    \
        C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue, C_FindObjectsInit,             \
        C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,             \
        C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit,  \
        C_Digest, C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate,   \
        C_SignFinal, C_SignRecoverInit, C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate,    \
        C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover, C_DigestEncryptUpdate,               \
        C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,         \
        C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom,   \
        C_GetFunctionStatus, C_CancelFunction, C_WaitForSlotEvent

extern "C" {

CK_FUNCTION_LIST qav_p11_functions = {{CRYPTOKI_VERSION_MAJOR, CRYPTOKI_VERSION_MINOR},
                                      QAV_P11_FUNCTIONS_240};

}  // extern "C"

namespace {

CK_FUNCTION_LIST_3_0 g_functions30 = {
    {3, 0},        QAV_P11_FUNCTIONS_240, C_GetInterfaceList, C_GetInterface,    LoginUser,
    SessionCancel, MessageInit,           CryptMessage,       CryptMessageBegin, CryptMessageNext,
    MessageFinal,  MessageInit,           CryptMessage,       CryptMessageBegin, CryptMessageNext,
    MessageFinal,  MessageInit,           SignMessage,        MessageBegin,      SignMessage,
    MessageFinal,  MessageInit,           VerifyMessage,      MessageBegin,      VerifyMessage,
    MessageFinal};

CK_CHAR g_name[] = "PKCS 11";

// The 3.0 list first, then 2.40, as clients take the first that fits.
CK_INTERFACE g_interfaces[] = {
    {g_name, &g_functions30, 0},
    {g_name, &qav_p11_functions, 0},
};
constexpr CK_ULONG kInterfaceCount = sizeof g_interfaces / sizeof g_interfaces[0];

}  // namespace

extern "C" {

CK_RV C_GetInterfaceList(CK_INTERFACE_PTR list, CK_ULONG_PTR count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    if (list == nullptr) {
        *count = kInterfaceCount;
        return CKR_OK;
    }
    if (*count < kInterfaceCount) {
        *count = kInterfaceCount;
        return CKR_BUFFER_TOO_SMALL;
    }
    for (CK_ULONG i = 0; i < kInterfaceCount; ++i) list[i] = g_interfaces[i];
    *count = kInterfaceCount;
    return CKR_OK;
}

CK_RV C_GetInterface(CK_UTF8CHAR_PTR name, CK_VERSION_PTR version, CK_INTERFACE_PTR_PTR found,
                     CK_FLAGS flags) {
    if (found == nullptr) return CKR_ARGUMENTS_BAD;
    for (CK_INTERFACE& candidate : g_interfaces) {
        if (name != nullptr &&
            std::strcmp(reinterpret_cast<const char*>(name),
                        reinterpret_cast<const char*>(candidate.pInterfaceName)) != 0) {
            continue;
        }
        const auto* list = static_cast<const CK_VERSION*>(candidate.pFunctionList);
        if (version != nullptr &&
            (version->major != list->major || version->minor != list->minor)) {
            continue;
        }
        if ((candidate.flags & flags) != flags) continue;
        *found = &candidate;
        return CKR_OK;
    }
    *found = nullptr;
    return CKR_ARGUMENTS_BAD;
}

}  // extern "C"
