// The reader on the PC/SC service, with the bounded retry rule around every
// service call.
#pragma once

#include <array>
#include <cstdint>
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
    // The per-device copy: shares the context and card handle with its
    // source (neither owns them), starts with no rejected ATRs.
    CReaderPCSC(const CReaderPCSC& other);
    CReaderPCSC& operator=(const CReaderPCSC&) = delete;
    // Neither disconnects nor releases the context: owners do that explicitly.
    ~CReaderPCSC() override;

    uint32_t EstablishContext(uint32_t reserved) override;
    uint32_t ReleaseContext(uint32_t reserved) override;
    uint32_t ListReaders(char* buffer, uint32_t* length, uint32_t filter,
                         uint32_t reserved) override;
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
    const char* ReaderName() const noexcept { return readerName_.data(); }
    size_t RejectedAtrCount() const noexcept { return rejectedAtrs_.size(); }

protected:
    // Retry rule: a lost context re-creates the context, pauses and repeats;
    // the reconnecting form also reconnects the card by the stored reader
    // name, and after a reset or removed card reconnects and repeats at
    // once. Attempts are bounded; the last attempt's result is returned.
    template <typename Call>
    uint32_t RetryPlain(Call&& call);
    template <typename Call>
    uint32_t RetryReconnecting(Call&& call);

    uint32_t QueryReaderState(const char* readerName, platform::ReaderState* state);

private:
    using AtrBlock = std::array<uint8_t, platform::kAtrCapacity>;

    uint32_t ListUsableReaders(std::vector<char>* result);
    uint32_t ListAllReaders(std::vector<char>* result);
    bool IsRejected(const platform::ReaderState& state) const;
    uint32_t Probe(const char* readerName, const platform::ReaderState& before);
    void RecoverLostContext(bool reconnect);

    platform::PcscContext context_ = 0;
    platform::PcscHandle cardHandle_ = 0;
    ReaderKind readerKind_ = ReaderKind::kGeneric;
    std::vector<AtrBlock> rejectedAtrs_;
    std::array<char, kReaderNameCapacity> readerName_{};
};

}  // namespace qav
