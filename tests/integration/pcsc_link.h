// A PC/SC connection to one reader for the bench tests, with the 61xx and
// 6Cxx follow-ups a host does.
#pragma once

#include <winscard.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

std::string Env(const char* name, const char* fallback = "");
// Points the library's card database at this bench run's folder, never the user's.
void UseBenchConfigHome();

class PcscContext {
public:
    PcscContext();
    PcscContext(const PcscContext&) = delete;
    PcscContext& operator=(const PcscContext&) = delete;
    ~PcscContext();
    SCARDCONTEXT Handle() const { return context_; }
    // Waits until the reader reports a card (present = true) or none.
    bool WaitForCard(const std::string& reader, bool present, unsigned timeoutMs) const;

private:
    SCARDCONTEXT context_ = 0;
};

class CardLink {
public:
    CardLink(const PcscContext& context, const std::string& reader);
    CardLink(const CardLink&) = delete;
    CardLink& operator=(const CardLink&) = delete;
    ~CardLink();
    DWORD Protocol() const { return protocol_; }
    SCARDHANDLE Handle() const { return card_; }
    Bytes Atr() const;
    // The answer exactly as the card gives it, status word last.
    Bytes Raw(const Bytes& command);
    // Follows 61xx with GET RESPONSE and 6Cxx with the corrected Le.
    Bytes Exchange(const Bytes& command);

private:
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
};

uint16_t StatusWord(const Bytes& answer);

}  // namespace bench
