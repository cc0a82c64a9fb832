#include "pcsc_link.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace bench {
namespace {

void Check(LONG rv, const char* what) {
    if (rv != SCARD_S_SUCCESS)
        throw std::runtime_error(std::string(what) + ": " + pcsc_stringify_error(rv));
}

}  // namespace

std::string Env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

void UseBenchConfigHome() {
    const std::string dir = Env("QAVSEAL_BENCH_DIR", "/tmp") + "/config";
    std::filesystem::create_directories(dir);
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
}

PcscContext::PcscContext() {
    Check(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_), "context");
}
PcscContext::~PcscContext() { SCardReleaseContext(context_); }

bool PcscContext::WaitForCard(const std::string& reader, bool present, unsigned timeoutMs) const {
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    for (unsigned waited = 0; waited <= timeoutMs; waited += 100) {
        const LONG rv = SCardGetStatusChange(context_, 100, &state, 1);
        if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT)) return false;
        const bool hasCard = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        if (hasCard == present) return true;
        state.dwCurrentState = state.dwEventState;
    }
    return false;
}

CardLink::CardLink(const PcscContext& context, const std::string& reader) {
    Check(SCardConnect(context.Handle(), reader.c_str(), SCARD_SHARE_SHARED,
                       SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_, &protocol_),
          "connect");
}

CardLink::~CardLink() { SCardDisconnect(card_, SCARD_LEAVE_CARD); }

Bytes CardLink::Atr() const {
    BYTE atr[MAX_ATR_SIZE];
    DWORD atrLength = sizeof atr;
    DWORD state = 0, protocol = 0, nameLength = 0;
    Check(SCardStatus(card_, nullptr, &nameLength, &state, &protocol, atr, &atrLength), "status");
    return Bytes(atr, atr + atrLength);
}

Bytes CardLink::Raw(const Bytes& command) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    Bytes answer(258 + 2);
    DWORD length = static_cast<DWORD>(answer.size());
    Check(SCardTransmit(card_, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                        answer.data(), &length),
          "transmit");
    answer.resize(length);
    return answer;
}

Bytes CardLink::Exchange(const Bytes& command) {
    Bytes answer = Raw(command);
    for (int round = 0; round < 4 && answer.size() == 2; ++round) {
        if (answer[0] == 0x6C) {
            Bytes again = command;
            if (again.size() == 4) again.push_back(0);
            again.back() = answer[1];
            answer = Raw(again);
        } else if (answer[0] == 0x61) {
            answer = Raw({0x00, 0xC0, 0x00, 0x00, answer[1]});
        } else {
            break;
        }
    }
    return answer;
}

uint16_t StatusWord(const Bytes& answer) {
    if (answer.size() < 2) return 0;
    return static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
}

}  // namespace bench
