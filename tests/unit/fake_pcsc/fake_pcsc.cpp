#include "fake_pcsc/fake_pcsc.h"

#ifdef _WIN32
#include <windows.h>
// The library calls WinSCard by its A names, which winscard.h maps the names
// below to; the calling convention matters on 32-bit Windows.
#define FAKE_API WINAPI
#else
#define FAKE_API
#endif
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace qav::fake {
namespace {
FakePcsc* g_current = nullptr;
}

FakePcsc::FakePcsc() {
    if (g_current != nullptr) throw std::logic_error("one FakePcsc at a time");
#ifdef _WIN32
    startedEvent_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    if (startedEvent_ == nullptr) throw std::runtime_error("CreateEvent failed");
#endif
    g_current = this;
}

FakePcsc::~FakePcsc() {
    for (auto& [block, size] : allocations) std::free(const_cast<void*>(block));
#ifdef _WIN32
    CloseHandle(startedEvent_);
#endif
    g_current = nullptr;
}

#ifdef _WIN32
void FakePcsc::SetServiceStarted(bool started) {
    if (started) {
        SetEvent(startedEvent_);
    } else {
        ResetEvent(startedEvent_);
    }
}
#endif

FakePcsc* FakePcsc::Current() { return g_current; }

unsigned long FakePcsc::EventState(const std::string& name, Bytes* atr) {
    atr->clear();
    const Reader* reader = FindReader(name);
    if (reader == nullptr) return 0;
    // The upper half counts insertions, as pcsc-lite's event counter does.
    const unsigned long counter = static_cast<unsigned long>(reader->insertion & 0xFFFF) << 16;
    if (!reader->card) return counter | SCARD_STATE_EMPTY;
    *atr = reader->card->Atr();
    return counter | SCARD_STATE_PRESENT;
}

FakePcsc::Reader* FakePcsc::FindReader(const std::string& name) {
    const auto found = std::find_if(readers.begin(), readers.end(),
                                    [&](const Reader& reader) { return reader.name == name; });
    return found == readers.end() ? nullptr : &*found;
}

const FakePcsc::Reader* FakePcsc::FindReader(const std::string& name) const {
    return const_cast<FakePcsc*>(this)->FindReader(name);
}

void FakePcsc::ReleaseOrphanedTransactions() {
    for (Reader& reader : readers) {
        const auto found = handles.find(reader.holder);
        const bool gone = found == handles.end() || !contexts[found->second.context];
        if (reader.holder != 0 && gone) {
            reader.holder = 0;
            reader.holds = 0;
        }
    }
}

void FakePcsc::AddReader(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    readers.push_back(Reader{name, nullptr, 0, false});
}

void FakePcsc::RemoveReader(const std::string& name) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    readers.erase(std::remove_if(readers.begin(), readers.end(),
                                 [&](const Reader& reader) { return reader.name == name; }),
                  readers.end());
}

void FakePcsc::InsertCard(const std::string& reader, std::shared_ptr<FakeCard> card) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    Reader* found = FindReader(reader);
    if (found == nullptr) throw std::invalid_argument("no reader " + reader);
    found->card = std::move(card);
    ++found->insertion;
}

void FakePcsc::RemoveCard(const std::string& reader) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (Reader* found = FindReader(reader)) {
        found->card.reset();
        // The transaction goes with the card.
        found->holder = 0;
        found->holds = 0;
    }
}

void FakePcsc::RefuseConnections(const std::string& reader, bool refuse) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    if (Reader* found = FindReader(reader)) found->refuse = refuse;
}

void FakePcsc::Inject(Call call, uint32_t result, int times) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (int i = 0; i < times; ++i) injected_[call].push_back(result);
}

bool FakePcsc::TakeInjected(Call call, uint32_t* result) {
    auto& queue = injected_[call];
    if (queue.empty()) return false;
    *result = queue.front();
    queue.pop_front();
    return true;
}

void FakePcsc::DropAllContexts() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    for (auto& [id, valid] : contexts) valid = false;
    ReleaseOrphanedTransactions();
}

void FakePcsc::SetServiceRunning(bool isRunning) {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    running = isRunning;
}

int FakePcsc::Count(Call call) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const auto found = counts_.find(call);
    return found == counts_.end() ? 0 : found->second;
}

void FakePcsc::ResetCounts() {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    counts_.clear();
    sent.clear();
    journal.clear();
}

size_t FakePcsc::OutstandingAllocations() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return allocations.size();
}

size_t FakePcsc::OpenContexts() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return static_cast<size_t>(std::count_if(contexts.begin(), contexts.end(),
                                             [](const auto& entry) { return entry.second; }));
}

size_t FakePcsc::LiveHandles() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return static_cast<size_t>(
        std::count_if(handles.begin(), handles.end(), [&](const auto& entry) {
            const auto context = contexts.find(entry.second.context);
            return context != contexts.end() && context->second;
        }));
}

size_t FakePcsc::OpenHandles() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return handles.size();
}

std::vector<std::vector<std::string>> FakePcsc::Waits() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    std::vector<std::vector<std::string>> readerSets;
    for (const auto& [number, names] : waits) readerSets.push_back(names);
    return readerSets;
}

std::vector<Bytes> FakePcsc::SentCommands() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return sent;
}

std::vector<std::string> FakePcsc::Journal() const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    return journal;
}

bool FakePcsc::InTransaction(const std::string& reader) const {
    std::lock_guard<std::recursive_mutex> guard(lock_);
    const Reader* found = FindReader(reader);
    return found != nullptr && found->holder != 0;
}

}  // namespace qav::fake

// ---- The service's entry points, as pcsc-lite declares them ---------------

using qav::fake::Call;
using qav::fake::FakePcsc;

namespace {

// Enters the fake: counts the call, answers an injected result, or reports
// that there is no service at all.
#define FAKE_ENTER(call)                                                             \
    FakePcsc* fake = FakePcsc::Current();                                            \
    if (fake == nullptr) return SCARD_E_NO_SERVICE;                                  \
    std::lock_guard<std::recursive_mutex> guard(fake->Lock());                       \
    fake->Counted(call);                                                             \
    {                                                                                \
        uint32_t injected = 0;                                                       \
        if (fake->TakeInjected(call, &injected)) return static_cast<LONG>(injected); \
    }

LONG CheckContext(FakePcsc* fake, SCARDCONTEXT context) {
    const auto found = fake->contexts.find(static_cast<uintptr_t>(context));
    if (found == fake->contexts.end() || !found->second) return SCARD_E_INVALID_HANDLE;
    return SCARD_S_SUCCESS;
}

// The handle, if it and its context are still good.
LONG CheckHandle(FakePcsc* fake, SCARDHANDLE card, FakePcsc::Handle** handle) {
    const auto found = fake->handles.find(static_cast<uintptr_t>(card));
    if (found == fake->handles.end()) return SCARD_E_INVALID_HANDLE;
    if (CheckContext(fake, static_cast<SCARDCONTEXT>(found->second.context)) != SCARD_S_SUCCESS) {
        return SCARD_E_INVALID_HANDLE;
    }
    *handle = &found->second;
    return SCARD_S_SUCCESS;
}

// The card behind a handle, or why there is none now.
LONG CardOf(FakePcsc* fake, FakePcsc::Handle* handle, FakePcsc::Reader** reader) {
    FakePcsc::Reader* found = fake->FindReader(handle->reader);
    if (found == nullptr) return SCARD_E_READER_UNAVAILABLE;
    if (!found->card || found->insertion != handle->insertion) return SCARD_W_REMOVED_CARD;
    *reader = found;
    return SCARD_S_SUCCESS;
}

// pcsc-lite makes a command or a transaction of one handle wait while
// another handle holds the card's transaction. Bounded (then the call
// answers a sharing violation), so that a transaction left open fails a
// test instead of hanging it.
void WaitForOthersTransaction(SCARDHANDLE card) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        {
            FakePcsc* fake = FakePcsc::Current();
            if (fake == nullptr) return;
            std::lock_guard<std::recursive_mutex> guard(fake->Lock());
            const auto handle = fake->handles.find(static_cast<uintptr_t>(card));
            if (handle == fake->handles.end()) return;
            const FakePcsc::Reader* reader = fake->FindReader(handle->second.reader);
            if (reader == nullptr || reader->holder == 0 ||
                reader->holder == static_cast<uintptr_t>(card)) {
                return;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ReleaseTransactionOf(FakePcsc* fake, SCARDHANDLE card) {
    for (FakePcsc::Reader& reader : fake->readers) {
        if (reader.holder == static_cast<uintptr_t>(card)) {
            reader.holder = 0;
            reader.holds = 0;
        }
    }
}

// The reader a handle's transaction is on, if it may act there now.
LONG HeldByOther(FakePcsc::Reader* reader, SCARDHANDLE card) {
    return reader->holder != 0 && reader->holder != static_cast<uintptr_t>(card)
               ? SCARD_E_SHARING_VIOLATION
               : SCARD_S_SUCCESS;
}

}  // namespace

extern "C" {

LONG FAKE_API SCardEstablishContext(DWORD, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    FAKE_ENTER(Call::EstablishContext);
    if (!fake->running) return SCARD_E_NO_SERVICE;
    const uintptr_t id = fake->nextId++;
    fake->contexts[id] = true;
    *phContext = static_cast<SCARDCONTEXT>(id);
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardReleaseContext(SCARDCONTEXT hContext) {
    FAKE_ENTER(Call::ReleaseContext);
    if (const LONG rc = CheckContext(fake, hContext)) return rc;
    fake->contexts[static_cast<uintptr_t>(hContext)] = false;
    for (auto it = fake->handles.begin(); it != fake->handles.end();) {
        it = it->second.context == static_cast<uintptr_t>(hContext) ? fake->handles.erase(it)
                                                                    : std::next(it);
    }
    fake->ReleaseOrphanedTransactions();
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardListReaders(SCARDCONTEXT hContext, LPCSTR, LPSTR mszReaders,
                               LPDWORD pcchReaders) {
    FAKE_ENTER(Call::ListReaders);
    if (const LONG rc = CheckContext(fake, hContext)) return rc;
    if (pcchReaders == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (fake->readers.empty()) return SCARD_E_NO_READERS_AVAILABLE;
    std::string list;
    for (const auto& reader : fake->readers) list += reader.name + '\0';
    list += '\0';
    if (*pcchReaders == SCARD_AUTOALLOCATE) {
        char* block = static_cast<char*>(std::malloc(list.size()));
        std::memcpy(block, list.data(), list.size());
        fake->allocations[block] = list.size();
        *reinterpret_cast<char**>(mszReaders) = block;
    } else if (mszReaders != nullptr) {
        if (*pcchReaders < list.size()) {
            *pcchReaders = static_cast<DWORD>(list.size());
            return SCARD_E_INSUFFICIENT_BUFFER;
        }
        std::memcpy(mszReaders, list.data(), list.size());
    }
    *pcchReaders = static_cast<DWORD>(list.size());
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardFreeMemory(SCARDCONTEXT, LPCVOID pvMem) {
    FAKE_ENTER(Call::FreeMemory);
    const auto found = fake->allocations.find(pvMem);
    if (found == fake->allocations.end()) return SCARD_E_INVALID_PARAMETER;
    std::free(const_cast<void*>(pvMem));
    fake->allocations.erase(found);
    return SCARD_S_SUCCESS;
}

namespace {

bool IsPnpNotification(const char* name) {
    return std::strcmp(name, "\\\\?PnP?\\Notification") == 0;
}

// As the service answers: a wait ends when some reader differs from what the
// caller knows (a reader whose state the caller does not know at all ends it
// at once); with nothing changed it ends when the time is up, at once for a
// zero timeout. The notification reader changes when readers come or go
// during the call (pcsc-lite), or carries the reader count in its upper half
// (WinSCard), so with no reader at all a query of it alone times out.
LONG StatusChange(SCARDCONTEXT hContext, DWORD timeout, SCARD_READERSTATE* states, DWORD count,
                  uint64_t* wait) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    [[maybe_unused]] size_t readersAtStart = 0;  // read on POSIX only
    for (bool first = true;; first = false) {
        {
            FakePcsc* fake = FakePcsc::Current();
            if (fake == nullptr) return SCARD_E_NO_SERVICE;
            std::lock_guard<std::recursive_mutex> guard(fake->Lock());
            if (first) {
                fake->Counted(Call::GetStatusChange);
                uint32_t injected = 0;
                if (fake->TakeInjected(Call::GetStatusChange, &injected)) {
                    return static_cast<LONG>(injected);
                }
                // Nothing to watch: answered at once.
                if (count == 0) return SCARD_S_SUCCESS;
                readersAtStart = fake->readers.size();
                if (timeout != 0) {
                    *wait = ++fake->nextWait;
                    for (DWORD i = 0; i < count; ++i) {
                        fake->waits[*wait].emplace_back(states[i].szReader);
                    }
                }
            }
            if (const LONG rc = CheckContext(fake, hContext)) return rc;
            if (fake->cancelled.erase(static_cast<uintptr_t>(hContext)) != 0) {
                return SCARD_E_CANCELLED;
            }
            bool changed = false;
            for (DWORD i = 0; i < count; ++i) {
                SCARD_READERSTATE& state = states[i];
                if (IsPnpNotification(state.szReader)) {
#ifdef _WIN32
                    const DWORD event = static_cast<DWORD>(fake->readers.size() << 16);
                    state.dwEventState = event;
                    if ((state.dwCurrentState & 0xFFFF0000u) != event) {
                        state.dwEventState |= SCARD_STATE_CHANGED;
                        changed = true;
                    }
#else
                    state.dwEventState = 0;
                    if (fake->readers.size() != readersAtStart) {
                        state.dwEventState = SCARD_STATE_CHANGED;
                        changed = true;
                    }
#endif
                    continue;
                }
                qav::fake::Bytes atr;
                const DWORD event = fake->EventState(state.szReader, &atr);
                if (event == 0) return SCARD_E_UNKNOWN_READER;
                state.cbAtr = static_cast<DWORD>(std::min(atr.size(), sizeof state.rgbAtr));
                std::memset(state.rgbAtr, 0, sizeof state.rgbAtr);
                if (!atr.empty()) std::memcpy(state.rgbAtr, atr.data(), state.cbAtr);
                const DWORD known = state.dwCurrentState & ~DWORD{SCARD_STATE_CHANGED};
                state.dwEventState = event;
                if (known != event) {
                    state.dwEventState |= SCARD_STATE_CHANGED;
                    changed = true;
                }
            }
            if (changed) return SCARD_S_SUCCESS;
        }
        if (std::chrono::steady_clock::now() >= deadline) return SCARD_E_TIMEOUT;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace

LONG FAKE_API SCardGetStatusChange(SCARDCONTEXT hContext, DWORD timeout, SCARD_READERSTATE* states,
                                   DWORD count) {
    uint64_t wait = 0;
    const LONG rc = StatusChange(hContext, timeout, states, count, &wait);
    if (wait != 0) {
        if (FakePcsc* fake = FakePcsc::Current()) {
            std::lock_guard<std::recursive_mutex> guard(fake->Lock());
            fake->waits.erase(wait);
        }
    }
    return rc;
}

LONG FAKE_API SCardCancel(SCARDCONTEXT hContext) {
    FAKE_ENTER(Call::Cancel);
    if (const LONG rc = CheckContext(fake, hContext)) return rc;
    fake->cancelled.insert(static_cast<uintptr_t>(hContext));
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD, DWORD,
                           LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    FAKE_ENTER(Call::Connect);
    if (const LONG rc = CheckContext(fake, hContext)) return rc;
    const FakePcsc::Reader* reader = fake->FindReader(szReader);
    if (reader == nullptr) return SCARD_E_UNKNOWN_READER;
    if (!reader->card) return SCARD_E_NO_SMARTCARD;
    if (reader->refuse) return SCARD_W_UNRESPONSIVE_CARD;
    const uintptr_t id = fake->nextId++;
    const uint32_t protocol = reader->card->Protocol();
    fake->handles[id] = FakePcsc::Handle{static_cast<uintptr_t>(hContext), reader->name,
                                         reader->insertion, protocol};
    *phCard = static_cast<SCARDHANDLE>(id);
    *pdwActiveProtocol = protocol;
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardReconnect(SCARDHANDLE hCard, DWORD, DWORD, DWORD dwInitialization,
                             LPDWORD pdwActiveProtocol) {
    FAKE_ENTER(Call::Reconnect);
    FakePcsc::Handle* handle = nullptr;
    if (const LONG rc = CheckHandle(fake, hCard, &handle)) return rc;
    FakePcsc::Reader* reader = fake->FindReader(handle->reader);
    if (reader == nullptr) return SCARD_E_READER_UNAVAILABLE;
    if (!reader->card) return SCARD_E_NO_SMARTCARD;
    handle->insertion = reader->insertion;
    handle->protocol = reader->card->Protocol();
    if (dwInitialization == SCARD_RESET_CARD || dwInitialization == SCARD_UNPOWER_CARD) {
        reader->card->Reset();
    }
    *pdwActiveProtocol = handle->protocol;
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardDisconnect(SCARDHANDLE hCard, DWORD) {
    FAKE_ENTER(Call::Disconnect);
    FakePcsc::Handle* handle = nullptr;
    if (const LONG rc = CheckHandle(fake, hCard, &handle)) return rc;
    fake->handles.erase(static_cast<uintptr_t>(hCard));
    fake->ReleaseOrphanedTransactions();
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST* pioSendPci,
                            LPCBYTE pbSendBuffer, DWORD cbSendLength, SCARD_IO_REQUEST*,
                            LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength) {
    WaitForOthersTransaction(hCard);
    FakePcsc* fake = FakePcsc::Current();
    if (fake == nullptr) return SCARD_E_NO_SERVICE;
    std::lock_guard<std::recursive_mutex> guard(fake->Lock());
    fake->Counted(Call::Transmit);
    if (uint32_t injected = 0; fake->TakeInjected(Call::Transmit, &injected)) {
        // A service that answers so holds no transaction for the handle any
        // more: its connection or its card is gone.
        if (injected == static_cast<uint32_t>(SCARD_W_REMOVED_CARD) ||
            injected == qav::fake::kServiceGone || injected == qav::fake::kServiceCutOff ||
            injected == static_cast<uint32_t>(SCARD_E_INVALID_HANDLE)) {
            ReleaseTransactionOf(fake, hCard);
        }
        return static_cast<LONG>(injected);
    }
    FakePcsc::Handle* handle = nullptr;
    if (const LONG rc = CheckHandle(fake, hCard, &handle)) return rc;
    FakePcsc::Reader* reader = nullptr;
    if (const LONG rc = CardOf(fake, handle, &reader)) return rc;
    if (const LONG rc = HeldByOther(reader, hCard)) return rc;
    if (pioSendPci == nullptr || pioSendPci->dwProtocol != handle->protocol) {
        return SCARD_E_PROTO_MISMATCH;
    }
    if (pbSendBuffer == nullptr || cbSendLength == 0 || pcbRecvLength == nullptr) {
        return SCARD_E_INVALID_PARAMETER;
    }
    const qav::fake::Bytes command(pbSendBuffer, pbSendBuffer + cbSendLength);
    fake->sent.push_back(command);
    fake->journal.push_back(qav::fake::ToHex(command));
    // The card may be pulled from within its own answer (a card that vanishes).
    const std::shared_ptr<qav::fake::FakeCard> card = reader->card;
    const qav::fake::Bytes answer = card->Transmit(command);
    if (answer.empty()) {
        // Not even a status word: the card left the reader mid-command.
        FakePcsc::Reader* still = fake->FindReader(handle->reader);
        if (still != nullptr && still->card == card) still->card.reset();
        return SCARD_W_REMOVED_CARD;
    }
    if (answer.size() > *pcbRecvLength) {
        *pcbRecvLength = static_cast<DWORD>(answer.size());
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pbRecvBuffer, answer.data(), answer.size());
    *pcbRecvLength = static_cast<DWORD>(answer.size());
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardBeginTransaction(SCARDHANDLE hCard) {
    WaitForOthersTransaction(hCard);
    FAKE_ENTER(Call::BeginTransaction);
    FakePcsc::Handle* handle = nullptr;
    if (const LONG rc = CheckHandle(fake, hCard, &handle)) return rc;
    FakePcsc::Reader* reader = nullptr;
    if (const LONG rc = CardOf(fake, handle, &reader)) return rc;
    if (const LONG rc = HeldByOther(reader, hCard)) return rc;
    reader->holder = static_cast<uintptr_t>(hCard);
    ++reader->holds;
    fake->journal.emplace_back("begin");
    return SCARD_S_SUCCESS;
}

LONG FAKE_API SCardEndTransaction(SCARDHANDLE hCard, DWORD) {
    FAKE_ENTER(Call::EndTransaction);
    FakePcsc::Handle* handle = nullptr;
    if (const LONG rc = CheckHandle(fake, hCard, &handle)) return rc;
    FakePcsc::Reader* reader = nullptr;
    if (const LONG rc = CardOf(fake, handle, &reader)) return rc;
    if (const LONG rc = HeldByOther(reader, hCard)) return rc;
    if (reader->holds == 0) return SCARD_E_NOT_TRANSACTED;
    if (--reader->holds == 0) reader->holder = 0;
    fake->journal.emplace_back("end");
    return SCARD_S_SUCCESS;
}

#ifdef _WIN32
HANDLE WINAPI SCardAccessStartedEvent() {
    FakePcsc* fake = FakePcsc::Current();
    if (fake == nullptr) {
        SetLastError(static_cast<DWORD>(SCARD_E_NO_SERVICE));
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(fake->Lock());
    fake->Counted(Call::AccessStartedEvent);
    uint32_t injected = 0;
    if (fake->TakeInjected(Call::AccessStartedEvent, &injected)) {
        SetLastError(injected);
        return nullptr;
    }
    return fake->StartedEvent();
}

void WINAPI SCardReleaseStartedEvent() {
    if (FakePcsc* fake = FakePcsc::Current()) {
        std::lock_guard<std::recursive_mutex> guard(fake->Lock());
        fake->Counted(Call::ReleaseStartedEvent);
    }
}
#endif

}  // extern "C"
