// Sessions, login and objects.
#include <algorithm>

#include "errors.h"
#include "module.h"

namespace qav::p11 {

namespace {

std::string Text(CK_UTF8CHAR_PTR text, CK_ULONG length) {
    return std::string(reinterpret_cast<const char*>(text), length);
}

}  // namespace

std::shared_ptr<Session> Module::FindSession(CK_SESSION_HANDLE handle) {
    std::lock_guard<TableMutex> guard(table_);
    const auto found = sessions_.find(handle);
    if (found == sessions_.end()) Fail(CKR_SESSION_HANDLE_INVALID);
    return found->second;
}

CK_RV Module::OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_SESSION_HANDLE_PTR session) {
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (session == nullptr) return CKR_ARGUMENTS_BAD;
    const std::shared_ptr<Token> token = TokenOf(slot);
    std::lock_guard<TableMutex> guard(table_);
    const auto open = std::count_if(sessions_.begin(), sessions_.end(),
                                    [slot](const auto& e) { return e.second->slot == slot; });
    if (static_cast<CK_ULONG>(open) >= kMaxSessions) return CKR_SESSION_COUNT;
    const CK_SESSION_HANDLE handle = nextSession_++;
    sessions_.emplace(handle, std::make_shared<Session>(handle, slot, flags, token));
    *session = handle;
    return CKR_OK;
}

// The login belongs to the application: when the last session on a token
// closes, the card's security state is cleared as C_Logout would.
CK_RV Module::EndSessions(std::vector<std::shared_ptr<Session>> closing) {
    std::vector<std::shared_ptr<Token>> idle;
    {
        std::lock_guard<TableMutex> guard(table_);
        for (const auto& s : closing) {
            const bool others = std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& e) {
                return e.second->token == s->token;
            });
            if (!others && std::find(idle.begin(), idle.end(), s->token) == idle.end()) {
                idle.push_back(s->token);
            }
        }
    }
    for (const auto& token : idle) {
        if (token->LoggedIn()) token->Logout();
    }
    return CKR_OK;
}

CK_RV Module::CloseSession(CK_SESSION_HANDLE handle) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard<TableMutex> guard(table_);
        const auto found = sessions_.find(handle);
        if (found == sessions_.end()) return CKR_SESSION_HANDLE_INVALID;
        session = found->second;
        sessions_.erase(found);
    }
    return EndSessions({session});
}

CK_RV Module::CloseAllSessions(CK_SLOT_ID slot) {
    std::vector<std::shared_ptr<Session>> closing;
    {
        std::lock_guard<TableMutex> guard(table_);
        if (slots_.Find(slot) == nullptr) return CKR_SLOT_ID_INVALID;
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->second->slot == slot) {
                closing.push_back(it->second);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    return EndSessions(std::move(closing));
}

CK_RV Module::GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    const auto session = FindSession(handle);
    const bool rw = (session->flags & CKF_RW_SESSION) != 0;
    const bool user = session->token->LoggedIn();
    info->slotID = session->slot;
    info->flags = session->flags;
    info->state = rw ? (user ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                     : (user ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
    info->ulDeviceError = 0;
    return CKR_OK;
}

CK_RV Module::Login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin,
                    CK_ULONG length) {
    const auto session = FindSession(handle);
    if (user != CKU_USER && user != CKU_SO && user != CKU_CONTEXT_SPECIFIC) {
        return CKR_USER_TYPE_INVALID;
    }
    if (pin == nullptr) return CKR_ARGUMENTS_BAD;
    std::string text = Text(pin, length);
    const WipeOnExit wipe(text);
    if (user == CKU_SO) {
        // The seal key has no security officer.
        return session->token->LoggedIn() ? CKR_USER_ANOTHER_ALREADY_LOGGED_IN
                                          : CKR_USER_TYPE_INVALID;
    }
    if (user == CKU_CONTEXT_SPECIFIC) {
        {
            std::lock_guard<std::mutex> guard(session->lock);
            if (!session->sign && !session->decrypt) return CKR_OPERATION_NOT_INITIALIZED;
        }
        return session->token->Reverify(text);
    }
    return session->token->Login(text);
}

CK_RV Module::Logout(CK_SESSION_HANDLE handle) {
    const auto session = FindSession(handle);
    return session->token->Logout();
}

CK_RV Module::SetPIN(CK_SESSION_HANDLE handle, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
                     CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
    const auto session = FindSession(handle);
    if (oldPin == nullptr || newPin == nullptr) return CKR_ARGUMENTS_BAD;
    std::string oldText = Text(oldPin, oldLength), newText = Text(newPin, newLength);
    const WipeOnExit wipeOld(oldText), wipeNew(newText);
    return session->token->ChangePin(oldText, newText);
}

CK_RV Module::FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    const auto session = FindSession(handle);
    if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    std::vector<std::pair<CK_ATTRIBUTE_TYPE, Bytes>> wanted;
    for (CK_ULONG i = 0; i < count; ++i) {
        if (tmpl[i].pValue == nullptr && tmpl[i].ulValueLen != 0)
            return CKR_ATTRIBUTE_VALUE_INVALID;
        const auto* value = static_cast<const uint8_t*>(tmpl[i].pValue);
        wanted.emplace_back(tmpl[i].type,
                            value == nullptr ? Bytes{} : Bytes(value, value + tmpl[i].ulValueLen));
    }
    const bool user = session->token->LoggedIn();
    FindOperation op;
    for (const Object& o : session->token->Objects()) {
        if (o.isPrivate && !user) continue;
        if (Matches(o, wanted)) op.found.push_back(o.handle);
    }
    std::lock_guard<std::mutex> guard(session->lock);
    if (session->find) return CKR_OPERATION_ACTIVE;
    session->find = std::move(op);
    return CKR_OK;
}

CK_RV Module::FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG max,
                          CK_ULONG_PTR count) {
    const auto session = FindSession(handle);
    if (objects == nullptr || count == nullptr) return CKR_ARGUMENTS_BAD;
    std::lock_guard<std::mutex> guard(session->lock);
    if (!session->find) return CKR_OPERATION_NOT_INITIALIZED;
    FindOperation& op = *session->find;
    CK_ULONG given = 0;
    while (given < max && op.next < op.found.size()) objects[given++] = op.found[op.next++];
    *count = given;
    return CKR_OK;
}

CK_RV Module::FindObjectsFinal(CK_SESSION_HANDLE handle) {
    const auto session = FindSession(handle);
    std::lock_guard<std::mutex> guard(session->lock);
    if (!session->find) return CKR_OPERATION_NOT_INITIALIZED;
    session->find.reset();
    return CKR_OK;
}

CK_RV Module::GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE object,
                                CK_ATTRIBUTE_PTR tmpl, CK_ULONG count) {
    const auto session = FindSession(handle);
    const Object* o = session->token->Find(object);
    if (o == nullptr || (o->isPrivate && !session->token->LoggedIn())) {
        return CKR_OBJECT_HANDLE_INVALID;
    }
    if (tmpl == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
    return ReadAttributes(*o, tmpl, count);
}

CK_RV Module::WriteProtected(CK_SESSION_HANDLE handle) {
    FindSession(handle);
    return CKR_TOKEN_WRITE_PROTECTED;
}

CK_RV Module::NotSupported(CK_SESSION_HANDLE handle) {
    FindSession(handle);
    return CKR_FUNCTION_NOT_SUPPORTED;
}

}  // namespace qav::p11
