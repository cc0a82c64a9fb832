// The PC/SC service at one boundary. Everything above this header sees
// uint32_t results and pointer-wide handles, whatever the service's own
// DWORD/LONG widths are (64-bit on pcsc-lite, 32-bit on WinSCard).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qav::platform {

using PcscContext = uintptr_t;
using PcscHandle = uintptr_t;

// Service codes the library reacts to; identical values on both platforms.
inline constexpr uint32_t kScardSuccess = 0;
inline constexpr uint32_t kScardInternalError = 0x80100001u;
inline constexpr uint32_t kScardCancelled = 0x80100002u;
inline constexpr uint32_t kScardInvalidHandle = 0x80100003u;
inline constexpr uint32_t kScardInsufficientBuffer = 0x80100008u;
inline constexpr uint32_t kScardTimeout = 0x8010000Au;
inline constexpr uint32_t kScardCommError = 0x80100013u;
inline constexpr uint32_t kScardNoService = 0x8010001Du;
inline constexpr uint32_t kScardServiceStopped = 0x8010001Eu;
inline constexpr uint32_t kScardNoReadersAvailable = 0x8010002Eu;
inline constexpr uint32_t kScardResetCard = 0x80100068u;
inline constexpr uint32_t kScardRemovedCard = 0x80100069u;

inline constexpr uint32_t kStatePresent = 0x20;  // SCARD_STATE_PRESENT
inline constexpr uint32_t kStateChanged = 0x02;  // SCARD_STATE_CHANGED

// The pseudo-reader whose state changes when readers come or go.
inline constexpr char kPnpNotificationReader[] = "\\\\?PnP?\\Notification";

// The ATR field of the Windows reader-state record; pcsc-lite's is smaller.
inline constexpr size_t kAtrCapacity = 36;

struct ReaderState {
    uint32_t eventState = 0;
    uint32_t atrLength = 0;
    std::array<uint8_t, kAtrCapacity> atr{};
};

// True exactly for the results that mean the service connection or a handle
// of it is gone, so the caller must re-create the context and retry.
bool IsLostContext(uint32_t result) noexcept;

// Waits until the smart-card service runs. pcsc-lite connects on demand, so
// there is nothing to wait for there.
uint32_t WaitForServiceStart() noexcept;

uint32_t EstablishContext(PcscContext* context) noexcept;
uint32_t ReleaseContext(PcscContext context) noexcept;

// The service's reader list (a double-NUL-terminated multi-string in a block
// the service allocated). Free() hands it back and reports the service's
// answer; a list not freed explicitly is freed when it goes out of scope.
class ServiceReaderList {
public:
    ServiceReaderList() = default;
    ~ServiceReaderList();
    ServiceReaderList(const ServiceReaderList&) = delete;
    ServiceReaderList& operator=(const ServiceReaderList&) = delete;

    const char* data() const noexcept { return data_; }
    uint32_t size() const noexcept { return size_; }
    uint32_t Free() noexcept;

private:
    friend uint32_t ListReaders(PcscContext context, ServiceReaderList* list) noexcept;
    PcscContext context_ = 0;
    char* data_ = nullptr;
    uint32_t size_ = 0;
};

uint32_t ListReaders(PcscContext context, ServiceReaderList* list) noexcept;
// The reader list into *names, a buffer of ours: one service call when it
// fits, another at the size the service asked for when it did not (a reader
// may come meanwhile: three rounds, then kScardInsufficientBuffer). On
// success *names holds the list as the service gave it, trimmed to its length.
uint32_t ListReaderNames(PcscContext context, std::vector<char>* names) noexcept;

// One reader-state query: current state unknown, zero timeout.
uint32_t GetReaderState(PcscContext context, const char* readerName, ReaderState* state) noexcept;
// The states of several readers in one query. Any reader the service does
// not know fails the whole query.
uint32_t GetReaderStates(PcscContext context, const char* const* readerNames, size_t count,
                         ReaderState* states) noexcept;

// A reader and its state as the caller last saw it (`known`); a wait
// returns once some reader's state differs from it and leaves the new state
// in `seen`.
struct WatchedReader {
    const char* name = nullptr;
    uint32_t known = 0;
    uint32_t seen = 0;
};

// Waits up to timeoutMs for a change; kScardTimeout when none came,
// kScardCancelled after CancelWait from another thread.
uint32_t WaitForChange(PcscContext context, WatchedReader* readers, size_t count,
                       uint32_t timeoutMs) noexcept;
// Ends a wait of another thread on this context.
uint32_t CancelWait(PcscContext context) noexcept;

uint32_t Connect(PcscContext context, const char* readerName, PcscHandle* card,
                 uint32_t* activeProtocol) noexcept;
uint32_t Disconnect(PcscHandle card) noexcept;
// resetCard false: SCARD_LEAVE_CARD; true: SCARD_RESET_CARD.
uint32_t Reconnect(PcscHandle card, bool resetCard, uint32_t* activeProtocol) noexcept;
// received: in capacity of response, out bytes received.
uint32_t Transmit(PcscHandle card, uint32_t protocol, const uint8_t* command,
                  uint32_t commandLength, uint8_t* response, uint32_t* received) noexcept;
uint32_t BeginTransaction(PcscHandle card) noexcept;
uint32_t EndTransaction(PcscHandle card) noexcept;

}  // namespace qav::platform
