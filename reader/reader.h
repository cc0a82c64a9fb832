// The reader interface every card object talks through.
#pragma once

#include <cstdint>

namespace qav {

// PC/SC protocol values as the service reports them (same on both platforms).
inline constexpr uint32_t kProtocolT0 = 1;
inline constexpr uint32_t kProtocolT1 = 2;

// Ten operations, each returning 0 or a result code; a trailing reserved
// argument is never read. Operations call each other through this table so
// that a variant's Transmit also serves the probe and the recovery steps.
class CReader {
public:
    CReader() = default;
    virtual ~CReader() = default;

    virtual uint32_t EstablishContext(uint32_t reserved) = 0;
    virtual uint32_t ReleaseContext(uint32_t reserved) = 0;
    // filter 1: readers holding a usable card (registered, or passing the
    // probe). Any other filter: the service's reader list unchanged. Both give
    // a double-NUL-terminated multi-string with the same size rules.
    virtual uint32_t ListReaders(char* buffer, uint32_t* length, uint32_t filter,
                                 uint32_t reserved) = 0;
    virtual uint32_t GetReaderATR(const char* readerName, uint8_t* atr, uint32_t* atrLength,
                                  uint32_t reserved) = 0;
    virtual uint32_t Connect(const char* readerName, uint32_t reserved) = 0;
    virtual uint32_t Disconnect(uint32_t reserved) = 0;
    // responseLength: in capacity, out data length; the status word comes apart.
    virtual uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                              uint32_t* responseLength, uint32_t* statusWord,
                              uint32_t reserved) = 0;
    virtual uint32_t ResetCard(uint32_t reserved) = 0;
    virtual uint32_t BeginTransaction(uint32_t reserved1, uint32_t reserved2) = 0;
    virtual uint32_t EndTransaction(uint32_t reserved) = 0;

    // The reader's own name as the last Connect stored it; null for a variant
    // that keeps none. Virtual rather than a cast: it is asked on every export.
    virtual const char* ConnectedName() const noexcept { return nullptr; }

    // The protocol Connect negotiated; T=1 lets a command with data carry Le.
    uint32_t ActiveProtocol() const { return activeProtocol_; }

    // One export's command sequence; an export run from a callback of
    // another joins the outer one. Until its first command a reset or lost
    // connection is repaired and the command sent again; after it the card
    // has lost what the sequence set up (the selected file, a verified PIN),
    // so the service's code ends the export rather than a later command
    // failing on the card.
    void OpenSequence() noexcept {
        if (sequenceDepth_++ == 0) sequenceStarted_ = false;
    }
    void CloseSequence() noexcept {
        if (sequenceDepth_ > 0) --sequenceDepth_;
    }

protected:
    CReader(const CReader&) = default;
    CReader& operator=(const CReader&) = default;

    // Whether a command that met a reset or lost connection may be sent again.
    bool MayResend() const noexcept { return sequenceDepth_ == 0 || !sequenceStarted_; }
    void NoteCommandSent() noexcept {
        if (sequenceDepth_ > 0) sequenceStarted_ = true;
    }

    uint32_t activeProtocol_ = 0;

private:
    uint32_t sequenceDepth_ = 0;
    bool sequenceStarted_ = false;
};

}  // namespace qav
