// The module's state between C_Initialize and C_Finalize: slots, tokens and
// sessions in mutex-guarded tables. No table lock is held across a card call
// or a wait.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cryptoki.h"
#include "locking.h"
#include "session.h"
#include "slot_table.h"
#include "token.h"

namespace qav::p11 {

// Sessions per token: a bound, so the count in the token information is true.
inline constexpr CK_ULONG kMaxSessions = 1024;

class Module {
public:
    explicit Module(const LockingChoice& locking);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Ends the library's use; tokens close their devices. Wakes waiters.
    void Shutdown();

    // Slots and tokens.
    CK_RV GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count);
    CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info);
    CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info);
    CK_RV GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count);
    CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info);
    CK_RV WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot);

    // Sessions and login.
    CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session);
    CK_RV CloseSession(CK_SESSION_HANDLE session);
    CK_RV CloseAllSessions(CK_SLOT_ID slot);
    CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info);
    CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length);
    CK_RV Logout(CK_SESSION_HANDLE session);
    CK_RV SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                 CK_UTF8CHAR_PTR newPin, CK_ULONG newLength);

    // Objects.
    CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);
    CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                      CK_ULONG_PTR count);
    CK_RV FindObjectsFinal(CK_SESSION_HANDLE session);
    CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                            CK_ATTRIBUTE_PTR tmpl, CK_ULONG count);

    // Cryptography.
    CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
    CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR signature,
               CK_ULONG_PTR signatureLength);
    CK_RV SignUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length);
    CK_RV SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength);
    CK_RV DecryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key);
    CK_RV Decrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                  CK_ULONG_PTR outLength);
    CK_RV DigestInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism);
    CK_RV Digest(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                 CK_ULONG_PTR outLength);
    CK_RV DigestUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR part, CK_ULONG length);
    CK_RV DigestFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR outLength);
    CK_RV GenerateRandom(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG length);
    // Checks the session, then answers that the token cannot be written.
    CK_RV WriteProtected(CK_SESSION_HANDLE session);
    // Checks the session, then answers that the function is not offered.
    CK_RV NotSupported(CK_SESSION_HANDLE session);

private:
    std::shared_ptr<Session> FindSession(CK_SESSION_HANDLE handle);
    // The token in a slot, bound now if need be.
    std::shared_ptr<Token> TokenOf(CK_SLOT_ID slot);
    // Lists the readers holding a key and brings the slots up to date.
    void Refresh();
    void ApplyPresence(const std::string& reader, bool present,
                       std::vector<std::shared_ptr<Token>>* dropped,
                       std::vector<std::shared_ptr<Session>>* closed);
    CK_RV RunKeyOperation(Session& session, KeyOperation op, bool sign, CK_BYTE_PTR out,
                          CK_ULONG_PTR outLength);
    CK_RV EndSessions(std::vector<std::shared_ptr<Session>> closing);
    CK_RV KeyInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                  bool sign);
    void StartWatch();
    static uint32_t QAV_CALLBACK DeviceChanged(const char* reader, uint32_t arrived, uintptr_t self,
                                               uint32_t unused);

    const LockingChoice locking_;
    TableMutex table_;
    SlotTable slots_;
    std::map<CK_SLOT_ID, std::shared_ptr<Token>> tokens_;
    std::map<CK_SESSION_HANDLE, std::shared_ptr<Session>> sessions_;
    CK_SESSION_HANDLE nextSession_ = 1;
    std::atomic<CK_OBJECT_HANDLE> nextObject_{1};
    bool libraryStarted_ = false;

    // QAV_GetDeviceList's array lives until its next call: one listing at a time.
    std::mutex listing_;

    // A reader's device opens once: threads that meet an unbound token bind
    // it one at a time, outside the table lock, and the later ones take the
    // first's token.
    std::mutex binding_;

    // Slot events from the device-change watch, which runs on a thread of
    // the module's own so that cancelling it stops no watch of the
    // application's.
    std::mutex eventLock_;
    std::condition_variable eventsChanged_;
    std::deque<CK_SLOT_ID> events_;
    bool watching_ = false;
    bool stopping_ = false;
    std::thread watchThread_;
};

}  // namespace qav::p11
