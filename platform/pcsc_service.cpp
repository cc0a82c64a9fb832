// The PC/SC calls both platforms share. DWORD and LONG are 64 bits wide on
// pcsc-lite and 32 on WinSCard; every value is narrowed or widened in this
// file and nowhere else.
#ifdef _WIN32
#include <windows.h>
#endif
#include <winscard.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/pcsc.h"

namespace qav::platform {
namespace {

// WinSCard is called by its ANSI names whatever UNICODE says; pcsc-lite has
// only the one name.
#ifdef _WIN32
using ServiceReaderState = SCARD_READERSTATEA;
constexpr auto ServiceListReaders = SCardListReadersA;
constexpr auto ServiceGetStatusChange = SCardGetStatusChangeA;
constexpr auto ServiceConnect = SCardConnectA;
#else
using ServiceReaderState = SCARD_READERSTATE;
constexpr auto ServiceListReaders = SCardListReaders;
constexpr auto ServiceGetStatusChange = SCardGetStatusChange;
constexpr auto ServiceConnect = SCardConnect;
#endif

uint32_t Result(LONG rc) noexcept { return static_cast<uint32_t>(static_cast<unsigned long>(rc)); }

SCARDCONTEXT ToContext(PcscContext context) noexcept { return static_cast<SCARDCONTEXT>(context); }
SCARDHANDLE ToHandle(PcscHandle card) noexcept { return static_cast<SCARDHANDLE>(card); }

}  // namespace

uint32_t EstablishContext(PcscContext* context) noexcept {
    SCARDCONTEXT raw = 0;
    const uint32_t rc = Result(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &raw));
    if (rc == kScardSuccess) *context = static_cast<PcscContext>(raw);
    return rc;
}

uint32_t ReleaseContext(PcscContext context) noexcept {
    return Result(SCardReleaseContext(ToContext(context)));
}

ServiceReaderList::~ServiceReaderList() { Free(); }

uint32_t ServiceReaderList::Free() noexcept {
    if (data_ == nullptr) return kScardSuccess;
    const uint32_t rc = Result(SCardFreeMemory(ToContext(context_), data_));
    if (rc == kScardSuccess) {
        data_ = nullptr;
        size_ = 0;
    }
    return rc;
}

uint32_t ListReaders(PcscContext context, ServiceReaderList* list) noexcept {
    list->Free();
    char* block = nullptr;
    DWORD size = SCARD_AUTOALLOCATE;
    const uint32_t rc = Result(
        ServiceListReaders(ToContext(context), nullptr, reinterpret_cast<LPSTR>(&block), &size));
    if (rc != kScardSuccess) return rc;
    list->context_ = context;
    list->data_ = block;
    list->size_ = static_cast<uint32_t>(size);
    return rc;
}

uint32_t ListReaderNames(PcscContext context, std::vector<char>* names) noexcept {
    // Room for a handful of readers; more asks once again.
    constexpr size_t kFirstGuess = 1024;
    constexpr int kRounds = 3;
    try {
        if (names->size() < kFirstGuess) names->resize(kFirstGuess);
        uint32_t rc = kScardInsufficientBuffer;
        for (int round = 0; round < kRounds && rc == kScardInsufficientBuffer; ++round) {
            DWORD size = static_cast<DWORD>(names->size());
            rc = Result(ServiceListReaders(ToContext(context), nullptr, names->data(), &size));
            if (rc == kScardSuccess) {
                // The answer's length is the service's word: never past our buffer.
                names->resize(std::min(static_cast<size_t>(size), names->size()));
            } else if (rc == kScardInsufficientBuffer) {
                names->resize(std::max(static_cast<size_t>(size), names->size() + 1));
            }
        }
        return rc;
    } catch (...) {
        return kScardInternalError;
    }
}

namespace {

ServiceReaderState UnawareRecord(const char* readerName) noexcept {
    ServiceReaderState record{};
    record.szReader = readerName;
    record.dwCurrentState = SCARD_STATE_UNAWARE;
    return record;
}

void CopyState(const ServiceReaderState& record, ReaderState* state) noexcept {
    state->eventState = static_cast<uint32_t>(record.dwEventState);
    const size_t length =
        record.cbAtr < sizeof(record.rgbAtr) ? record.cbAtr : sizeof(record.rgbAtr);
    state->atrLength = static_cast<uint32_t>(length);
    state->atr.fill(0);
    std::memcpy(state->atr.data(), record.rgbAtr, length);
}

}  // namespace

uint32_t GetReaderState(PcscContext context, const char* readerName, ReaderState* state) noexcept {
    ServiceReaderState record = UnawareRecord(readerName);
    const uint32_t rc = Result(ServiceGetStatusChange(ToContext(context), 0, &record, 1));
    if (rc == kScardSuccess) CopyState(record, state);
    return rc;
}

uint32_t GetReaderStates(PcscContext context, const char* const* readerNames, size_t count,
                         ReaderState* states) noexcept {
    std::vector<ServiceReaderState> records;
    try {
        records.reserve(count);
    } catch (...) {
        return kScardInternalError;
    }
    for (size_t i = 0; i < count; ++i) records.push_back(UnawareRecord(readerNames[i]));
    const uint32_t rc = Result(
        ServiceGetStatusChange(ToContext(context), 0, records.data(), static_cast<DWORD>(count)));
    if (rc != kScardSuccess) return rc;
    for (size_t i = 0; i < count; ++i) CopyState(records[i], &states[i]);
    return rc;
}

uint32_t WaitForChange(PcscContext context, WatchedReader* readers, size_t count,
                       uint32_t timeoutMs) noexcept {
    std::vector<ServiceReaderState> records;
    try {
        records.resize(count);
    } catch (...) {
        return kScardInternalError;
    }
    for (size_t i = 0; i < count; ++i) {
        records[i].szReader = readers[i].name;
        records[i].dwCurrentState = readers[i].known;
    }
    const uint32_t rc = Result(ServiceGetStatusChange(ToContext(context), timeoutMs, records.data(),
                                                      static_cast<DWORD>(count)));
    for (size_t i = 0; i < count; ++i) {
        readers[i].seen = static_cast<uint32_t>(records[i].dwEventState);
    }
    return rc;
}

uint32_t CancelWait(PcscContext context) noexcept {
    return Result(SCardCancel(ToContext(context)));
}

uint32_t Connect(PcscContext context, const char* readerName, PcscHandle* card,
                 uint32_t* activeProtocol) noexcept {
    SCARDHANDLE raw = 0;
    DWORD protocol = 0;
    const uint32_t rc =
        Result(ServiceConnect(ToContext(context), readerName, SCARD_SHARE_SHARED,
                              SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &raw, &protocol));
    if (rc == kScardSuccess) {
        *card = static_cast<PcscHandle>(raw);
        *activeProtocol = static_cast<uint32_t>(protocol);
    }
    return rc;
}

uint32_t Disconnect(PcscHandle card) noexcept {
    return Result(SCardDisconnect(ToHandle(card), SCARD_LEAVE_CARD));
}

uint32_t Reconnect(PcscHandle card, bool resetCard, uint32_t* activeProtocol) noexcept {
    DWORD protocol = 0;
    const uint32_t rc = Result(
        SCardReconnect(ToHandle(card), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                       resetCard ? SCARD_RESET_CARD : SCARD_LEAVE_CARD, &protocol));
    if (rc == kScardSuccess) *activeProtocol = static_cast<uint32_t>(protocol);
    return rc;
}

uint32_t Transmit(PcscHandle card, uint32_t protocol, const uint8_t* command,
                  uint32_t commandLength, uint8_t* response, uint32_t* received) noexcept {
    SCARD_IO_REQUEST sendPci{};
    sendPci.dwProtocol = protocol;
    sendPci.cbPciLength = sizeof(SCARD_IO_REQUEST);
    // Unused, but pcsc-lite's spy library (pcsc-spy) reads it without a null check.
    SCARD_IO_REQUEST receivePci = sendPci;
    DWORD length = *received;
    const uint32_t rc = Result(SCardTransmit(ToHandle(card), &sendPci, command, commandLength,
                                             &receivePci, response, &length));
    *received = rc == kScardSuccess ? static_cast<uint32_t>(length) : 0;
    return rc;
}

uint32_t BeginTransaction(PcscHandle card) noexcept {
    return Result(SCardBeginTransaction(ToHandle(card)));
}

uint32_t EndTransaction(PcscHandle card) noexcept {
    return Result(SCardEndTransaction(ToHandle(card), SCARD_LEAVE_CARD));
}

}  // namespace qav::platform
