// The direct pcsc-lite side: plain SCardTransmit calls on stack buffers, as a
// lean client would make them.
#pragma once

#include <winscard.h>

#include <cstddef>
#include <string>
#include <vector>

#include "pcsc_link.h"
#include "service_calls.h"

namespace bench {

class RawCard {
public:
    // A context of its own: pcsc-lite serialises the calls made in one
    // context, and each key's thread must be free of the others.
    explicit RawCard(const std::string& reader);

    // The answer's data length when the card ends with 9000, else -1. A 61xx
    // answer is fetched with GET RESPONSE, as the library does under T=0.
    long Command(const uint8_t* command, size_t length) const;
    long Command(const Bytes& command) const { return Command(command.data(), command.size()); }
    // Sends the commands again, in the recorded transactions; true when
    // every answer has the recorded status word and, when that is 9000, the
    // recorded length.
    bool Replay(const std::vector<RecordedCommand>& commands) const;
    // The reader's state, asked for as the library does before a card export.
    bool CardPresent() const;
    const std::string& Reader() const { return reader_; }

private:
    PcscContext context_;
    CardLink link_;
    SCARDHANDLE card_;
    const SCARD_IO_REQUEST* pci_;
    std::string reader_;
};

}  // namespace bench
