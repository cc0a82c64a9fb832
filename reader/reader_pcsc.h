// The reader on the PC/SC service, with the bounded retry rule around every
// service call.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pcsc.h"
#include "reader/reader.h"
#include "reader/reader_kind.h"

namespace qav {

class CReaderPCSC : public CReader {
public:
    static constexpr uint32_t kMaxAttempts = 50;
    static constexpr uint32_t kLostContextPauseMs = 100;
    static constexpr size_t kReaderNameCapacity = 200;

    CReaderPCSC();
    // Shares the context and card handle with its source (owns neither) and
    // starts with no rejected ATRs.
    CReaderPCSC(const CReaderPCSC& other);
    CReaderPCSC& operator=(const CReaderPCSC&) = delete;
    // Does not disconnect: closing a device does that explicitly. Releases
    // a context this reader established itself and still holds (one made
    // while recovering from a lost service), so none is left open.
    ~CReaderPCSC() override;

    uint32_t EstablishContext(uint32_t reserved) override;
    uint32_t ReleaseContext(uint32_t reserved) override;
    uint32_t ListReaders(char* buffer, uint32_t* length, uint32_t filter,
                         uint32_t reserved) override;
    // The same listing whole, as a double-NUL-terminated multi-string.
    uint32_t ListReaderNames(std::vector<char>* result, uint32_t filter);
    uint32_t GetReaderATR(const char* readerName, uint8_t* atr, uint32_t* atrLength,
                          uint32_t reserved) override;
    uint32_t Connect(const char* readerName, uint32_t reserved) override;
    uint32_t Disconnect(uint32_t reserved) override;
    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength, uint32_t* statusWord, uint32_t reserved) override;
    uint32_t ResetCard(uint32_t reserved) override;
    uint32_t BeginTransaction(uint32_t reserved1, uint32_t reserved2) override;
    uint32_t EndTransaction(uint32_t reserved) override;

    ReaderKind Kind() const noexcept { return readerKind_; }
    bool OwnsContext() const noexcept { return ownsContext_; }
    const char* ReaderName() const noexcept { return readerName_.data(); }
    const char* ConnectedName() const noexcept override { return ReaderName(); }
    size_t RejectedAtrCount() const noexcept { return rejectedAtrs_.size(); }

    // A listing runs on a copy of the master so that no lock is held while
    // it waits in the service: the copy starts from the master's rejected
    // ATRs and listed cards, and afterwards the master keeps what the copy
    // learnt (those two, and a context the copy had to establish after the
    // old one was lost; the copy then holds the old one, to release when it
    // goes). No service call is made.
    void TakeListingMemoryFrom(const CReaderPCSC& master);
    void TakeListingResults(CReaderPCSC& lister);
    // Forgets the context without releasing it (process exit: the service
    // client may already be gone).
    void AbandonContext() noexcept { ownsContext_ = false; }

protected:
    // Retry rule: a lost context re-creates the context, pauses and repeats;
    // the reconnecting form also reconnects the card, and after a reset or
    // removed card reconnects and repeats at once. One public operation
    // makes at most kMaxAttempts service calls under the rule in all,
    // however its steps nest (a probe's Transmit inside a listing's
    // Connect); the last attempt's result is returned.
    template <typename Call>
    uint32_t RetryPlain(Call&& call);
    template <typename Call>
    uint32_t RetryReconnecting(Call&& call);
    // Inside a command sequence that has begun: the card's state is gone
    // with a reset or a lost connection, so there is nothing to repair.
    template <typename Call>
    uint32_t SendOnce(Call&& call);

    // Opens a public operation's attempt budget, unless it runs inside
    // another operation of this reader.
    class Operation {
    public:
        explicit Operation(CReaderPCSC& reader) noexcept;
        ~Operation();
        Operation(const Operation&) = delete;
        Operation& operator=(const Operation&) = delete;

    private:
        CReaderPCSC& reader_;
    };

    uint32_t QueryReaderState(const char* readerName, platform::ReaderState* state);

private:
    using AtrBlock = std::array<uint8_t, platform::kAtrCapacity>;

    // The connected card's ATR, asked once per connection: it changes only
    // with a reset, a reconnect or another card, and each of those shows
    // here first (our own reset or reconnect, or the service answering
    // reset, removed or lost on the card handle).
    struct ConnectionAtr {
        bool known = false;
        uint32_t length = 0;
        AtrBlock bytes{};
    };
    bool IsConnectedReader(const char* readerName) const noexcept;
    void ForgetConnectionAtr() noexcept { connectionAtr_.known = false; }
    // The card handle's answer: one saying the card or connection changed
    // makes the kept ATR stale.
    uint32_t NoteCardAnswer(uint32_t rc) noexcept;

    // A card the last listing found usable, by the service's count of its
    // reader's insertions: the same count and ATR are the same card, still
    // in its reader, so it is listed again without a look in the card
    // database. A card taken out and put back is looked up afresh.
    struct ListedCard {
        std::string reader;
        uint32_t insertions = 0;
        uint32_t atrLength = 0;
        AtrBlock atr{};
    };
    using ListedCards = std::vector<ListedCard>;
    static bool SameCard(const ListedCard& listed, const char* readerName,
                         const platform::ReaderState& state) noexcept;

    uint32_t ListUsableReaders(std::vector<char>* result);
    uint32_t ListAllReaders(std::vector<char>* result);
    bool IsRejected(const platform::ReaderState& state) const;
    uint32_t Probe(const char* readerName, const platform::ReaderState& before);
    bool TakeAttempt() noexcept;
    // QAV_OK, or the first step that failed.
    uint32_t RecoverLostContext(bool reconnect);

    platform::PcscContext context_ = 0;
    bool ownsContext_ = false;  // established here, released here
    platform::PcscHandle cardHandle_ = 0;
    bool ownsCard_ = false;  // connected here, so this reader may disconnect it
    // The reader the own card handle is connected to, set as soon as the
    // connection exists (a probe's recovery reconnects there).
    std::array<char, kReaderNameCapacity> connectedReader_{};
    uint32_t operationDepth_ = 0;
    uint32_t attemptsLeft_ = kMaxAttempts;
    ReaderKind readerKind_ = ReaderKind::kGeneric;
    std::vector<AtrBlock> rejectedAtrs_;
    // Shared with listing copies; replaced whole, never changed in place.
    std::shared_ptr<const ListedCards> listedCards_;
    std::array<char, kReaderNameCapacity> readerName_{};
    ConnectionAtr connectionAtr_;
};

}  // namespace qav
