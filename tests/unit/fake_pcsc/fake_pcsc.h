// An in-process fake of the PC/SC service. The library's own PC/SC backend
// links against these SCard* definitions instead of pcsc-lite, so the real
// reader code runs in unit tests. One FakePcsc at a time, owned by the test
// fixture; while none exists every call answers "no service".
#pragma once

#include <winscard.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fake_pcsc/fake_card.h"

namespace qav::fake {

// How a vanished service answers on this platform: Windows error 6 there;
// on pcsc-lite no service (a dead socket) or a communication error (a read
// cut off).
#ifdef _WIN32
inline constexpr uint32_t kServiceGone = 6;
inline constexpr uint32_t kServiceCutOff = 6;
#else
inline constexpr uint32_t kServiceGone = 0x8010001Du;
inline constexpr uint32_t kServiceCutOff = 0x80100013u;
#endif

enum class Call {
    EstablishContext,
    ReleaseContext,
    ListReaders,
    FreeMemory,
    GetStatusChange,
    Connect,
    Reconnect,
    Disconnect,
    Transmit,
    BeginTransaction,
    EndTransaction,
    AccessStartedEvent,  // Windows only, as the two below
    ReleaseStartedEvent,
    Cancel,
};

class FakePcsc {
public:
    FakePcsc();
    ~FakePcsc();
    FakePcsc(const FakePcsc&) = delete;
    FakePcsc& operator=(const FakePcsc&) = delete;

    void AddReader(const std::string& name);
    // The reader goes, and its card with it (a USB key unplugged).
    void RemoveReader(const std::string& name);
    void InsertCard(const std::string& reader, std::shared_ptr<FakeCard> card);
    void RemoveCard(const std::string& reader);
    // A card whose connection is refused (as a mute card would be).
    void RefuseConnections(const std::string& reader, bool refuse);

    // The next `times` calls of `call` answer `result` without doing anything.
    void Inject(Call call, uint32_t result, int times = 1);
    // The daemon went away: every context and card handle becomes stale.
    void DropAllContexts();
    // While stopped, new contexts are refused with "no service".
    void SetServiceRunning(bool running);
#ifdef _WIN32
    // The service's started event (set from the start); an injected
    // AccessStartedEvent result makes it unavailable, with that error.
    void SetServiceStarted(bool started);
    void* StartedEvent() const { return startedEvent_; }
#endif

    int Count(Call call) const;
    void ResetCounts();
    // Service-allocated blocks not yet handed back.
    size_t OutstandingAllocations() const;
    size_t OpenContexts() const;
    size_t OpenHandles() const;
    // Connections of a context the service still knows: those of a context
    // gone with the service went with it.
    size_t LiveHandles() const;
    // Commands the service passed to a card, in order.
    std::vector<Bytes> SentCommands() const;
    // The readers of every state wait (a timeout above zero) in progress.
    std::vector<std::vector<std::string>> Waits() const;
    // What reached the cards, in order: "begin" and "end" for transactions
    // begun and ended (nested ones too), a command's bytes in hex.
    std::vector<std::string> Journal() const;
    // Whether some handle holds a transaction on the reader's card.
    bool InTransaction(const std::string& reader) const;

    // Used by the SCard* definitions.
    static FakePcsc* Current();
    std::recursive_mutex& Lock() { return lock_; }

    struct Reader {
        std::string name;
        std::shared_ptr<FakeCard> card;
        uint32_t insertion = 0;  // bumps on every card insertion
        bool refuse = false;
        // The transaction, as pcsc-lite keeps it: the handle that holds it
        // and how often it began it. Other handles' transactions and
        // commands wait meanwhile.
        uintptr_t holder = 0;
        int holds = 0;
    };
    struct Handle {
        uintptr_t context;
        std::string reader;
        uint32_t insertion;
        uint32_t protocol;
    };

    bool TakeInjected(Call call, uint32_t* result);
    void Counted(Call call) { ++counts_[call]; }

    bool running = true;
    uintptr_t nextId = 0x1000;
    std::map<uintptr_t, bool> contexts;  // id -> still valid
    std::map<uintptr_t, Handle> handles;
    std::set<uintptr_t> cancelled;                       // contexts whose next wait ends at once
    std::map<uint64_t, std::vector<std::string>> waits;  // in progress, by number
    uint64_t nextWait = 0;
    std::vector<Reader> readers;
    std::map<const void*, size_t> allocations;
    std::vector<Bytes> sent;
    std::vector<std::string> journal;

    Reader* FindReader(const std::string& name);
    const Reader* FindReader(const std::string& name) const;
    // Drops the transactions of handles that no longer exist.
    void ReleaseOrphanedTransactions();
    // A reader's state as the service reports it (its card's ATR into
    // *atr), or 0 for an unknown reader.
    unsigned long EventState(const std::string& name, Bytes* atr);

private:
    mutable std::recursive_mutex lock_;
    std::map<Call, std::deque<uint32_t>> injected_;
    std::map<Call, int> counts_;
#ifdef _WIN32
    void* startedEvent_ = nullptr;
#endif
};

}  // namespace qav::fake
