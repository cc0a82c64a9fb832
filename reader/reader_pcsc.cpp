#include "reader/reader_pcsc.h"

#include <algorithm>
#include <cstring>

#include "platform/secure_memory.h"
#include "platform/wait.h"
#include "qavseal/qavseal.h"
#include "reader/card_database.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav {
namespace {

constexpr uint32_t kProbeResponseCapacity = 255;

// No card answers more than an extended APDU's worth; a larger capacity
// from the caller is not worth allocating for.
constexpr uint32_t kMaxResponseData = 65536;

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool ProbeAccepted(uint32_t statusWord) {
    return statusWord == kStatusOk || IsBytesWaiting(statusWord);
}

uint32_t HandOver(const std::vector<char>& result, char* buffer, uint32_t* length) {
    const auto size = static_cast<uint32_t>(result.size());
    if (buffer == nullptr) {
        *length = size;
        return QAV_OK;
    }
    if (*length < size) {
        *length = size;
        return QAV_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, result.data(), size);
    *length = size;
    return QAV_OK;
}

}  // namespace

CReaderPCSC::CReaderPCSC() { marker_ = 1; }

CReaderPCSC::CReaderPCSC(const CReaderPCSC& other)
    : CReader(other),
      context_(other.context_),
      cardHandle_(other.cardHandle_),
      readerKind_(other.readerKind_),
      readerName_(other.readerName_) {}

CReaderPCSC::~CReaderPCSC() = default;

template <typename Call>
uint32_t CReaderPCSC::RetryPlain(Call&& call) {
    uint32_t rc = call();
    for (uint32_t attempt = 1; attempt < kMaxAttempts && platform::IsLostContext(rc); ++attempt) {
        RecoverLostContext(false);
        rc = call();
    }
    return rc;
}

template <typename Call>
uint32_t CReaderPCSC::RetryReconnecting(Call&& call) {
    uint32_t rc = call();
    for (uint32_t attempt = 1; attempt < kMaxAttempts; ++attempt) {
        if (platform::IsLostContext(rc)) {
            RecoverLostContext(true);
        } else if (rc == platform::kScardResetCard || rc == platform::kScardRemovedCard) {
            // Whether the reconnect worked shows in the repeated call.
            platform::Reconnect(cardHandle_, false, &activeProtocol_);
        } else {
            break;
        }
        rc = call();
    }
    return rc;
}

void CReaderPCSC::RecoverLostContext(bool reconnect) {
    // Every step goes through the virtual table, so a variant's own
    // operations serve the recovery too. Their results show in the retry.
    if (context_ != 0) ReleaseContext(0);
    EstablishContext(0);
    if (reconnect) {
        const auto name = readerName_;  // Connect rewrites readerName_
        Disconnect(0);
        Connect(name.data(), 0);
    }
    platform::SleepMs(kLostContextPauseMs);
}

uint32_t CReaderPCSC::QueryReaderState(const char* readerName, platform::ReaderState* state) {
    return RetryPlain([&] { return platform::GetReaderState(context_, readerName, state); });
}

uint32_t CReaderPCSC::EstablishContext(uint32_t /*reserved*/) {
    if (const uint32_t rc = platform::WaitForServiceStart()) return rc;
    return platform::EstablishContext(&context_);
}

uint32_t CReaderPCSC::ReleaseContext(uint32_t /*reserved*/) {
    return platform::ReleaseContext(context_);
}

uint32_t CReaderPCSC::ListReaders(char* buffer, uint32_t* length, uint32_t filter,
                                  uint32_t /*reserved*/) {
    if (length == nullptr) return QAV_E_NULL_POINTER;
    std::vector<char> result;
    const uint32_t rc = filter == 1 ? ListUsableReaders(&result) : ListAllReaders(&result);
    if (rc != QAV_OK) return rc;
    return HandOver(result, buffer, length);
}

uint32_t CReaderPCSC::ListAllReaders(std::vector<char>* result) {
    platform::ServiceReaderList list;
    const uint32_t rc = RetryPlain([&] { return platform::ListReaders(context_, &list); });
    if (rc == platform::kScardNoReadersAvailable) {
        result->assign(2, '\0');
        return QAV_OK;
    }
    if (rc != QAV_OK) return rc;
    result->assign(list.data(), list.data() + list.size());
    return RetryPlain([&] { return list.Free(); });
}

uint32_t CReaderPCSC::ListUsableReaders(std::vector<char>* result) {
    platform::ServiceReaderList list;
    uint32_t rc = RetryPlain([&] { return platform::ListReaders(context_, &list); });
    if (rc == platform::kScardNoReadersAvailable) {
        result->assign(2, '\0');
        return QAV_OK;
    }
    if (rc != QAV_OK) return rc;

    result->clear();
    result->reserve(list.size() + 1);
    const char* const end = list.data() + list.size();
    for (const char* name = list.data(); name < end && *name != '\0';) {
        const size_t nameLength = strnlen(name, static_cast<size_t>(end - name));
        if (name + nameLength == end) break;  // unterminated tail: not a name
        const char* const next = name + nameLength + 1;

        platform::ReaderState state;
        if (QueryReaderState(name, &state) != QAV_OK ||
            (state.eventState & platform::kStatePresent) == 0) {
            name = next;
            continue;
        }
        bool usable = IsCardRegistered(state.atr.data(), state.atrLength) != 0;
        if (!usable && !IsRejected(state)) {
            usable = Connect(name, 0) == QAV_OK;
            if (!usable) rejectedAtrs_.push_back(state.atr);
            Disconnect(0);
        }
        if (usable) result->insert(result->end(), name, next);
        name = next;
    }
    result->push_back('\0');

    rc = RetryPlain([&] { return list.Free(); });
    if (rc != QAV_OK) result->clear();
    return rc;
}

bool CReaderPCSC::IsRejected(const platform::ReaderState& state) const {
    return std::any_of(rejectedAtrs_.begin(), rejectedAtrs_.end(), [&](const AtrBlock& block) {
        return std::memcmp(block.data(), state.atr.data(), state.atrLength) == 0;
    });
}

uint32_t CReaderPCSC::GetReaderATR(const char* readerName, uint8_t* atr, uint32_t* atrLength,
                                   uint32_t /*reserved*/) {
    if (readerName == nullptr || atrLength == nullptr) return QAV_E_NULL_POINTER;
    platform::ReaderState state;
    if (const uint32_t rc = QueryReaderState(readerName, &state)) return rc;
    if (atr != nullptr) {
        if (*atrLength < state.atrLength) {
            *atrLength = state.atrLength;
            return QAV_E_BUFFER_TOO_SMALL;
        }
        std::memcpy(atr, state.atr.data(), state.atrLength);
    }
    *atrLength = state.atrLength;
    return QAV_OK;
}

uint32_t CReaderPCSC::Connect(const char* readerName, uint32_t /*reserved*/) {
    if (readerName == nullptr) return QAV_E_NULL_POINTER;
    platform::ReaderState state;
    if (const uint32_t rc = QueryReaderState(readerName, &state)) return rc;
    if ((state.eventState & platform::kStatePresent) == 0 || state.atrLength == 0) {
        return QAV_E_NO_DEVICE;
    }
    const auto connect = [&] {
        return platform::Connect(context_, readerName, &cardHandle_, &activeProtocol_);
    };
    if (IsCardRegistered(state.atr.data(), state.atrLength) != 0) {
        if (const uint32_t rc = RetryPlain(connect)) return rc;
    } else {
        // A card that refuses the connection is registered all the same.
        if (RetryPlain(connect) == QAV_OK) {
            if (const uint32_t rc = Probe(readerName, state)) return rc;
        }
        char entryName[260];
        CardEntryName(state.atr.data(), state.atrLength, entryName);
        std::array<uint8_t, platform::kAtrCapacity> mask;
        mask.fill(0xFF);
        RegisterCard(entryName, state.atr.data(), state.atrLength, mask.data(), state.atrLength,
                     kCardProviderName, kCardModuleName);
    }
    readerKind_ = ClassifyReader(readerName);
    // Names of 200 characters or more are cut to fit with their NUL.
    const size_t nameLength = strnlen(readerName, kReaderNameCapacity - 1);
    readerName_.fill('\0');
    std::memcpy(readerName_.data(), readerName, nameLength);
    return QAV_OK;
}

uint32_t CReaderPCSC::Probe(const char* readerName, const platform::ReaderState& before) {
    if (StartsWith(readerName, "DZYZ")) return QAV_OK;
    const bool sealReader = StartsWith(readerName, "ADM");
    const std::vector<uint8_t> command =
        sealReader ? EncodeSelectByName(kSealApplicationName, sizeof kSealApplicationName)
                   : EncodeSelectByName(kIdentityApplicationName, sizeof kIdentityApplicationName);

    uint8_t response[kProbeResponseCapacity] = {};
    uint32_t responseLength = sizeof response;
    uint32_t statusWord = 0;
    const uint32_t rc = Transmit(command.data(), static_cast<uint32_t>(command.size()), response,
                                 &responseLength, &statusWord, 0);
    if (rc != QAV_OK || !ProbeAccepted(statusWord)) {
        Disconnect(0);
        return QAV_E_NO_DEVICE;
    }
    platform::ReaderState after;
    if (const uint32_t stateRc = QueryReaderState(readerName, &after)) return stateRc;
    // A card that reset itself during the probe is not the card we saw.
    if (after.atrLength != before.atrLength ||
        std::memcmp(after.atr.data(), before.atr.data(), before.atrLength) != 0) {
        return QAV_E_NO_DEVICE;
    }
    return QAV_OK;
}

uint32_t CReaderPCSC::Disconnect(uint32_t /*reserved*/) {
    return platform::Disconnect(cardHandle_);
}

uint32_t CReaderPCSC::Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                               uint32_t* responseLength, uint32_t* statusWord,
                               uint32_t /*reserved*/) {
    if (command == nullptr || responseLength == nullptr || statusWord == nullptr) {
        return QAV_E_NULL_POINTER;
    }
    const uint32_t capacity = response != nullptr ? std::min(*responseLength, kMaxResponseData) : 0;
    std::vector<uint8_t> received(capacity + 2u, 0);
    // Answers may carry key material; nothing stays behind in freed memory.
    const platform::WipeOnExit wipe(received);
    uint32_t receivedLength = 0;
    const uint32_t rc = RetryReconnecting([&] {
        receivedLength = static_cast<uint32_t>(received.size());
        return platform::Transmit(cardHandle_, activeProtocol_, command, commandLength,
                                  received.data(), &receivedLength);
    });
    if (rc != QAV_OK) return rc;
    // Untrusted answer: without a status word there is nothing to report.
    if (receivedLength < 2 || receivedLength > received.size()) return QAV_E_UNEXPECTED_DATA;

    const uint32_t dataLength = receivedLength - 2;
    *statusWord = static_cast<uint32_t>(received[dataLength]) << 8 | received[dataLength + 1];
    if (response == nullptr) {
        *responseLength = dataLength;
        return QAV_OK;
    }
    if (*responseLength < dataLength) {
        *responseLength = dataLength;
        return QAV_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(response, received.data(), dataLength);
    *responseLength = dataLength;
    return QAV_OK;
}

uint32_t CReaderPCSC::ResetCard(uint32_t /*reserved*/) {
    return platform::Reconnect(cardHandle_, true, &activeProtocol_);
}

uint32_t CReaderPCSC::BeginTransaction(uint32_t /*reserved1*/, uint32_t /*reserved2*/) {
    return RetryReconnecting([&] { return platform::BeginTransaction(cardHandle_); });
}

uint32_t CReaderPCSC::EndTransaction(uint32_t /*reserved*/) {
    return RetryReconnecting([&] { return platform::EndTransaction(cardHandle_); });
}

}  // namespace qav
