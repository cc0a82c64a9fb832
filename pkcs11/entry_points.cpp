// The C boundary: every C_* function is one guarded call into the module
// object, so no C++ exception ever reaches the application.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "errors.h"
#include "library_info.h"
#include "module.h"

using qav::p11::CkError;
using qav::p11::Module;

namespace {

template <typename F>
CK_RV Guard(F&& body) noexcept {
    try {
        return body();
    } catch (const CkError& e) {
        return e.rv();
    } catch (const std::bad_alloc&) {
        return CKR_HOST_MEMORY;
    } catch (...) {
        return CKR_GENERAL_ERROR;
    }
}

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

std::mutex g_lifecycle;
std::shared_ptr<Module> g_module;
unsigned long g_pid = 0;

// The module of this process: a forked child sees none until its own
// C_Initialize.
std::shared_ptr<Module> Current() {
    std::lock_guard<std::mutex> guard(g_lifecycle);
    if (!g_module || g_pid != ProcessId()) throw CkError(CKR_CRYPTOKI_NOT_INITIALIZED);
    return g_module;
}

CK_RV Initialize(CK_VOID_PTR initArgs) {
    qav::p11::LockingChoice locking;
    if (const CK_RV rv = qav::p11::ParseInitArgs(initArgs, &locking)) return rv;
    std::lock_guard<std::mutex> guard(g_lifecycle);
    if (g_module && g_pid == ProcessId()) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (g_module) {
        // Inherited over fork: the parent's devices and threads are not
        // ours to close or join, so that state is abandoned untouched.
        new std::shared_ptr<Module>(std::move(g_module));
    }
    g_module = std::make_shared<Module>(locking);
    g_pid = ProcessId();
    return CKR_OK;
}

CK_RV Finalize(CK_VOID_PTR reservedArg) {
    if (reservedArg != nullptr) return CKR_ARGUMENTS_BAD;
    std::shared_ptr<Module> module;
    {
        std::lock_guard<std::mutex> guard(g_lifecycle);
        if (!g_module || g_pid != ProcessId()) return CKR_CRYPTOKI_NOT_INITIALIZED;
        module.swap(g_module);
    }
    // Wakes a C_WaitForSlotEvent blocked on another thread, which then
    // answers CKR_CRYPTOKI_NOT_INITIALIZED.
    module->Shutdown();
    return CKR_OK;
}

}  // namespace

extern "C" {

extern CK_FUNCTION_LIST qav_p11_functions;

CK_RV C_Initialize(CK_VOID_PTR initArgs) {
    return Guard([&] { return Initialize(initArgs); });
}

CK_RV C_Finalize(CK_VOID_PTR reservedArg) {
    return Guard([&] { return Finalize(reservedArg); });
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
    return Guard([&] {
        Current();
        if (info == nullptr) return CKR_ARGUMENTS_BAD;
        qav::p11::FillInfo(info);
        return CKR_OK;
    });
}

CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    *list = &qav_p11_functions;
    return CKR_OK;
}

CK_RV C_GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    return Guard([&] { return Current()->GetSlotList(tokenPresent, list, count); });
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    return Guard([&] { return Current()->GetSlotInfo(slot, info); });
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return Guard([&] { return Current()->GetTokenInfo(slot, info); });
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    return Guard([&] { return Current()->GetMechanismList(slot, list, count); });
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    return Guard([&] { return Current()->GetMechanismInfo(slot, type, info); });
}

CK_RV C_InitToken(CK_SLOT_ID slot, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
    return Guard([&] {
        CK_TOKEN_INFO info;
        Current()->GetTokenInfo(slot, &info);
        return CKR_TOKEN_WRITE_PROTECTED;
    });
}

CK_RV C_InitPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR, CK_ULONG) {
    return Guard([&] {
        Current()->NotSupported(session);
        return CKR_USER_NOT_LOGGED_IN;
    });
}

CK_RV C_SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
               CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
    return Guard([&] { return Current()->SetPIN(session, oldPin, oldLength, newPin, newLength); });
}

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY,
                    CK_SESSION_HANDLE_PTR session) {
    return Guard([&] { return Current()->OpenSession(slot, flags, session); });
}

CK_RV C_CloseSession(CK_SESSION_HANDLE session) {
    return Guard([&] { return Current()->CloseSession(session); });
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
    return Guard([&] { return Current()->CloseAllSessions(slot); });
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    return Guard([&] { return Current()->GetSessionInfo(session, info); });
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_SetOperationState(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE,
                          CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    return Guard([&] { return Current()->Login(session, user, pin, length); });
}

CK_RV C_Logout(CK_SESSION_HANDLE session) {
    return Guard([&] { return Current()->Logout(session); });
}

CK_RV C_CreateObject(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_CopyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
                   CK_OBJECT_HANDLE_PTR) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_DestroyObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR tmpl,
                          CK_ULONG count) {
    return Guard([&] { return Current()->GetAttributeValue(session, object, tmpl, count); });
}

CK_RV C_SetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    return Guard([&] { return Current()->FindObjectsInit(session, tmpl, count); });
}

CK_RV C_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                    CK_ULONG_PTR count) {
    return Guard([&] { return Current()->FindObjects(session, objects, max, count); });
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE session) {
    return Guard([&] { return Current()->FindObjectsFinal(session); });
}

CK_RV C_EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_Encrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_EncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_EncryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return Guard([&] { return Current()->DecryptInit(session, mechanism, key); });
}

CK_RV C_Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                CK_ULONG_PTR outLength) {
    return Guard([&] { return Current()->Decrypt(session, data, length, out, outLength); });
}

CK_RV C_DecryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DecryptFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism) {
    return Guard([&] { return Current()->DigestInit(session, mechanism); });
}

CK_RV C_Digest(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
               CK_ULONG_PTR outLength) {
    return Guard([&] { return Current()->Digest(session, data, length, out, outLength); });
}

CK_RV C_DigestUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
    return Guard([&] { return Current()->DigestUpdate(session, part, length); });
}

CK_RV C_DigestKey(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DigestFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR outLength) {
    return Guard([&] { return Current()->DigestFinal(session, out, outLength); });
}

CK_RV C_SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    return Guard([&] { return Current()->SignInit(session, mechanism, key); });
}

CK_RV C_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
             CK_ULONG_PTR signatureLength) {
    return Guard(
        [&] { return Current()->Sign(session, data, length, signature, signatureLength); });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length) {
    return Guard([&] { return Current()->SignUpdate(session, part, length); });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength) {
    return Guard([&] { return Current()->SignFinal(session, signature, signatureLength); });
}

CK_RV C_SignRecoverInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_SignRecover(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_VerifyInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_Verify(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_VerifyUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_VerifyFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_VerifyRecoverInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_VerifyRecover(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DigestEncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                            CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DecryptDigestUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                            CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_SignEncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                          CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_DecryptVerifyUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR,
                            CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_GenerateKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                    CK_OBJECT_HANDLE_PTR) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_GenerateKeyPair(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG,
                        CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_WrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE,
                CK_BYTE_PTR, CK_ULONG_PTR) {
    return Guard([&] { return Current()->NotSupported(session); });
}

CK_RV C_UnwrapKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR,
                  CK_ULONG, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_DeriveKey(CK_SESSION_HANDLE session, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR,
                  CK_ULONG, CK_OBJECT_HANDLE_PTR) {
    return Guard([&] { return Current()->WriteProtected(session); });
}

CK_RV C_SeedRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR, CK_ULONG) {
    return Guard([&] {
        Current()->NotSupported(session);
        return CKR_RANDOM_SEED_NOT_SUPPORTED;
    });
}

CK_RV C_GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG length) {
    return Guard([&] { return Current()->GenerateRandom(session, out, length); });
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE session) {
    return Guard([&] {
        Current()->NotSupported(session);
        return CKR_FUNCTION_NOT_PARALLEL;
    });
}

CK_RV C_CancelFunction(CK_SESSION_HANDLE session) {
    return Guard([&] {
        Current()->NotSupported(session);
        return CKR_FUNCTION_NOT_PARALLEL;
    });
}

CK_RV C_WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot, CK_VOID_PTR reservedArg) {
    return Guard([&] {
        const auto module = Current();
        if (reservedArg != nullptr) return CKR_ARGUMENTS_BAD;
        return module->WaitForSlotEvent(flags, slot);
    });
}

}  // extern "C"
