// Slots, tokens and slot events.
#include "module.h"

#include <algorithm>
#include <cstring>

#include "errors.h"
#include "mechanisms.h"
#include "qavseal/qavseal.h"

namespace qav::p11 {

namespace {

void Padded(CK_UTF8CHAR* field, size_t size, const std::string& text) {
    std::memset(field, ' ', size);
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

}  // namespace

Module::Module(const LockingChoice& locking) : locking_(locking), table_(locking) {
    libraryStarted_ = QAV_Initialize(0) == QAV_OK;
}

Module::~Module() { Shutdown(); }

void Module::Shutdown() {
    {
        std::lock_guard<std::mutex> guard(eventLock_);
        stopping_ = true;
    }
    eventsChanged_.notify_all();
    if (watchThread_.joinable()) watchThread_.join();

    std::map<CK_SESSION_HANDLE, std::shared_ptr<Session>> sessions;
    std::map<CK_SLOT_ID, std::shared_ptr<Token>> tokens;
    bool started = false;
    {
        std::lock_guard<TableMutex> guard(table_);
        sessions.swap(sessions_);
        tokens.swap(tokens_);
        started = libraryStarted_;
        libraryStarted_ = false;
    }
    sessions.clear();
    tokens.clear();  // closes the devices
    if (started) QAV_Finalize(0);
}

void Module::ApplyPresence(const std::string& reader, bool present,
                           std::vector<std::shared_ptr<Token>>* dropped,
                           std::vector<std::shared_ptr<Session>>* closed) {
    const auto changed = slots_.Set(reader, present);
    if (!changed) return;
    if (!present) {
        // The key left: its token and every session on it go.
        const auto token = tokens_.find(*changed);
        if (token != tokens_.end()) {
            dropped->push_back(token->second);
            tokens_.erase(token);
        }
        for (auto it = sessions_.begin(); it != sessions_.end();) {
            if (it->second->slot == *changed) {
                closed->push_back(it->second);
                it = sessions_.erase(it);
            } else {
                ++it;
            }
        }
    }
    {
        std::lock_guard<std::mutex> guard(eventLock_);
        events_.push_back(*changed);
    }
    eventsChanged_.notify_all();
}

void Module::Refresh() {
    std::vector<std::string> readers;
    {
        std::lock_guard<std::mutex> listing(listing_);
        bool started = false;
        {
            std::lock_guard<TableMutex> guard(table_);
            started = libraryStarted_;
        }
        // No service at C_Initialize: try again now.
        if (!started && QAV_Initialize(0) == QAV_OK) {
            std::lock_guard<TableMutex> guard(table_);
            libraryStarted_ = started = true;
        }
        if (!started) return;
        char** names = nullptr;
        uint32_t count = 0;
        const uint32_t rc = QAV_GetDeviceList(&names, &count, 1);
        if (rc == QAV_OK) {
            for (uint32_t i = 0; i < count; ++i) readers.emplace_back(names[i]);
        } else if (rc != QAV_E_NO_DEVICE) {
            Fail(CKR_DEVICE_ERROR);
        }
    }
    std::vector<std::shared_ptr<Token>> dropped;
    std::vector<std::shared_ptr<Session>> closed;
    {
        std::lock_guard<TableMutex> guard(table_);
        for (const std::string& reader : readers) ApplyPresence(reader, true, &dropped, &closed);
        std::vector<std::string> gone;
        for (const auto& slot : slots_.Slots()) {
            if (slot.present &&
                std::find(readers.begin(), readers.end(), slot.reader) == readers.end()) {
                gone.push_back(slot.reader);
            }
        }
        for (const std::string& reader : gone) ApplyPresence(reader, false, &dropped, &closed);
    }
    // Tokens close their devices here, outside the table lock.
}

std::shared_ptr<Token> Module::TokenOf(CK_SLOT_ID id) {
    std::string reader;
    {
        std::lock_guard<TableMutex> guard(table_);
        const SlotTable::Slot* slot = slots_.Find(id);
        if (slot == nullptr) Fail(CKR_SLOT_ID_INVALID);
        if (!slot->present) Fail(CKR_TOKEN_NOT_PRESENT);
        const auto found = tokens_.find(id);
        if (found != tokens_.end()) return found->second;
        reader = slot->reader;
    }
    const std::lock_guard<std::mutex> binding(binding_);
    {
        std::lock_guard<TableMutex> guard(table_);
        const auto found = tokens_.find(id);
        if (found != tokens_.end()) return found->second;
    }
    std::shared_ptr<Token> token;
    try {
        token = Token::Bind(reader, &nextObject_);
    } catch (const CkError& e) {
        if (e.rv() == CKR_DEVICE_REMOVED) Fail(CKR_TOKEN_NOT_PRESENT);
        throw;
    }
    std::lock_guard<TableMutex> guard(table_);
    const SlotTable::Slot* slot = slots_.Find(id);
    if (slot == nullptr || !slot->present) Fail(CKR_TOKEN_NOT_PRESENT);
    const auto inserted = tokens_.emplace(id, token);
    return inserted.first->second;
}

CK_RV Module::GetSlotList(CK_BBOOL tokenPresent, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    // A size query lists the readers; the call that fills the list answers
    // from the same table, so both see the same slots.
    bool none = false;
    {
        std::lock_guard<TableMutex> guard(table_);
        none = slots_.Slots().empty();
    }
    if (list == nullptr || none) Refresh();
    std::lock_guard<TableMutex> guard(table_);
    std::vector<CK_SLOT_ID> ids;
    for (const auto& slot : slots_.Slots()) {
        if (tokenPresent == CK_FALSE || slot.present) ids.push_back(slot.id);
    }
    if (list == nullptr) {
        *count = CkLength(ids.size());
        return CKR_OK;
    }
    if (*count < ids.size()) {
        *count = CkLength(ids.size());
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = CkLength(ids.size());
    return CKR_OK;
}

CK_RV Module::GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    std::lock_guard<TableMutex> guard(table_);
    const SlotTable::Slot* slot = slots_.Find(id);
    if (slot == nullptr) return CKR_SLOT_ID_INVALID;
    Padded(info->slotDescription, sizeof info->slotDescription, slot->reader);
    Padded(info->manufacturerID, sizeof info->manufacturerID, "QAVSeal");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (slot->present ? CKF_TOKEN_PRESENT : 0);
    info->hardwareVersion = {0, 0};
    info->firmwareVersion = {0, 0};
    return CKR_OK;
}

CK_RV Module::GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    const std::shared_ptr<Token> token = TokenOf(id);
    const CK_FLAGS flags = token->Flags();
    CK_ULONG sessions = 0, rwSessions = 0;
    {
        std::lock_guard<TableMutex> guard(table_);
        for (const auto& entry : sessions_) {
            if (entry.second->slot != id) continue;
            ++sessions;
            if ((entry.second->flags & CKF_RW_SESSION) != 0) ++rwSessions;
        }
    }
    Padded(info->label, sizeof info->label, token->Reader());
    Padded(info->manufacturerID, sizeof info->manufacturerID, "QAVSeal");
    Padded(info->model, sizeof info->model, "Seal key");
    Padded(info->serialNumber, sizeof info->serialNumber, token->Serial());
    info->flags = flags;
    info->ulMaxSessionCount = kMaxSessions;
    info->ulSessionCount = sessions;
    info->ulMaxRwSessionCount = kMaxSessions;
    info->ulRwSessionCount = rwSessions;
    info->ulMaxPinLen = 16;
    info->ulMinPinLen = 4;
    info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
    info->hardwareVersion = {0, 0};
    info->firmwareVersion = {0, 0};
    std::memset(info->utcTime, ' ', sizeof info->utcTime);
    return CKR_OK;
}

CK_RV Module::GetMechanismList(CK_SLOT_ID id, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    {
        std::lock_guard<TableMutex> guard(table_);
        const SlotTable::Slot* slot = slots_.Find(id);
        if (slot == nullptr) return CKR_SLOT_ID_INVALID;
        if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    }
    const auto& table = Mechanisms();
    if (list == nullptr) {
        *count = CkLength(table.size());
        return CKR_OK;
    }
    if (*count < table.size()) {
        *count = CkLength(table.size());
        return CKR_BUFFER_TOO_SMALL;
    }
    for (size_t i = 0; i < table.size(); ++i) list[i] = table[i].type;
    *count = CkLength(table.size());
    return CKR_OK;
}

CK_RV Module::GetMechanismInfo(CK_SLOT_ID id, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    if (info == nullptr) return CKR_ARGUMENTS_BAD;
    {
        std::lock_guard<TableMutex> guard(table_);
        const SlotTable::Slot* slot = slots_.Find(id);
        if (slot == nullptr) return CKR_SLOT_ID_INVALID;
        if (!slot->present) return CKR_TOKEN_NOT_PRESENT;
    }
    const Mechanism* mechanism = FindMechanism(type);
    if (mechanism == nullptr) return CKR_MECHANISM_INVALID;
    *info = mechanism->info;
    return CKR_OK;
}

uint32_t QAV_CALLBACK Module::DeviceChanged(const char* reader, uint32_t arrived, uintptr_t self,
                                            uint32_t /*unused*/) {
    if (reader == nullptr) return 0;
    auto* module = reinterpret_cast<Module*>(self);
    std::vector<std::shared_ptr<Token>> dropped;
    std::vector<std::shared_ptr<Session>> closed;
    try {
        std::lock_guard<TableMutex> guard(module->table_);
        module->ApplyPresence(reader, arrived != 0, &dropped, &closed);
    } catch (...) {
        // A report that cannot be kept is seen again at the next listing.
    }
    return 0;
}

void Module::StartWatch() {
    std::unique_lock<std::mutex> guard(eventLock_);
    if (watching_ || stopping_) return;
    if (locking_.noThreads) Fail(CKR_FUNCTION_NOT_SUPPORTED);
    watching_ = true;
    // The library cancels a thread's own watches only: start and cancel ours
    // on one thread of the module's.
    watchThread_ = std::thread([this] {
        const uint32_t rc =
            QAV_DetectDeviceChange(&Module::DeviceChanged, reinterpret_cast<uintptr_t>(this));
        std::unique_lock<std::mutex> lock(eventLock_);
        eventsChanged_.wait(lock, [this] { return stopping_; });
        lock.unlock();
        if (rc == QAV_OK) QAV_CancelDetectDeviceChange(0);
    });
}

CK_RV Module::WaitForSlotEvent(CK_FLAGS flags, CK_SLOT_ID_PTR slot) {
    if (slot == nullptr) return CKR_ARGUMENTS_BAD;
    {
        bool started = false;
        {
            std::lock_guard<TableMutex> guard(table_);
            started = libraryStarted_;
        }
        if (!started) Refresh();
    }
    StartWatch();
    std::unique_lock<std::mutex> guard(eventLock_);
    if ((flags & CKF_DONT_BLOCK) != 0) {
        if (events_.empty()) return CKR_NO_EVENT;
    } else {
        eventsChanged_.wait(guard, [this] { return stopping_ || !events_.empty(); });
        if (stopping_) return CKR_CRYPTOKI_NOT_INITIALIZED;
    }
    *slot = events_.front();
    events_.pop_front();
    return CKR_OK;
}

}  // namespace qav::p11
