#include "reader/reader_pcsc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

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
// A short answer's largest: 256 data bytes and the status word, with room
// to spare.
constexpr size_t kInlineAnswer = 264;

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

uint32_t HandOverAtr(const uint8_t* source, uint32_t length, uint8_t* atr, uint32_t* atrLength) {
    if (atr != nullptr) {
        if (*atrLength < length) {
            *atrLength = length;
            return QAV_E_BUFFER_TOO_SMALL;
        }
        std::memcpy(atr, source, length);
    }
    *atrLength = length;
    return QAV_OK;
}

// Names of 200 characters or more are cut to fit with their NUL.
void CopyName(const char* name, std::array<char, CReaderPCSC::kReaderNameCapacity>* field) {
    const size_t length = strnlen(name, CReaderPCSC::kReaderNameCapacity - 1);
    field->fill('\0');
    std::memcpy(field->data(), name, length);
}

}  // namespace

CReaderPCSC::CReaderPCSC() = default;

CReaderPCSC::CReaderPCSC(const CReaderPCSC& other)
    : CReader(other),
      context_(other.context_),
      cardHandle_(other.cardHandle_),
      readerKind_(other.readerKind_),
      readerName_(other.readerName_) {}

CReaderPCSC::~CReaderPCSC() {
    if (ownsContext_) platform::ReleaseContext(context_);
}

CReaderPCSC::Operation::Operation(CReaderPCSC& reader) noexcept : reader_(reader) {
    if (reader_.operationDepth_++ == 0) reader_.attemptsLeft_ = kMaxAttempts;
}

CReaderPCSC::Operation::~Operation() { --reader_.operationDepth_; }

bool CReaderPCSC::TakeAttempt() noexcept {
    if (attemptsLeft_ == 0) return false;
    --attemptsLeft_;
    return true;
}

namespace {

// A call on a context that could not be made again fails on the stale
// handle; why the new context failed (the service is gone) says more.
uint32_t LastResult(uint32_t rc, uint32_t recovery) {
    return platform::IsLostContext(rc) && recovery != QAV_OK ? recovery : rc;
}

}  // namespace

template <typename Call>
uint32_t CReaderPCSC::RetryPlain(Call&& call) {
    TakeAttempt();
    uint32_t rc = call();
    uint32_t recovery = QAV_OK;
    while (platform::IsLostContext(rc) && TakeAttempt()) {
        recovery = RecoverLostContext(false);
        rc = call();
    }
    return LastResult(rc, recovery);
}

template <typename Call>
uint32_t CReaderPCSC::RetryReconnecting(Call&& call) {
    TakeAttempt();
    uint32_t rc = NoteCardAnswer(call());
    uint32_t recovery = QAV_OK;
    for (;;) {
        const bool lost = platform::IsLostContext(rc);
        if (!lost && rc != platform::kScardResetCard && rc != platform::kScardRemovedCard) break;
        if (!TakeAttempt()) break;
        if (lost) {
            recovery = RecoverLostContext(true);
        } else {
            // Whether the reconnect worked shows in the repeated call.
            platform::Reconnect(cardHandle_, false, &activeProtocol_);
        }
        rc = NoteCardAnswer(call());
    }
    return LastResult(rc, recovery);
}

template <typename Call>
uint32_t CReaderPCSC::SendOnce(Call&& call) {
    TakeAttempt();
    return NoteCardAnswer(call());
}

uint32_t CReaderPCSC::NoteCardAnswer(uint32_t rc) noexcept {
    if (platform::IsLostContext(rc) || rc == platform::kScardResetCard ||
        rc == platform::kScardRemovedCard) {
        ForgetConnectionAtr();
    }
    return rc;
}

bool CReaderPCSC::IsConnectedReader(const char* readerName) const noexcept {
    return ownsCard_ && connectedReader_[0] != '\0' &&
           std::strncmp(connectedReader_.data(), readerName, kReaderNameCapacity) == 0;
}

uint32_t CReaderPCSC::RecoverLostContext(bool reconnect) {
    // Each step is a single service call: the loop around this is the only
    // retry, so one operation's pauses stay within its budget. Only what
    // this reader made is released; a shared context or handle is left to
    // its owner. Results show in the repeated call.
    ForgetConnectionAtr();
    if (ownsContext_) {
        platform::ReleaseContext(context_);
        ownsContext_ = false;
    }
    uint32_t rc = platform::EstablishContext(&context_);
    if (rc == QAV_OK) ownsContext_ = true;
    if (reconnect) {
        const auto name = connectedReader_[0] != '\0' ? connectedReader_ : readerName_;
        Disconnect(0);
        const uint32_t connected =
            platform::Connect(context_, name.data(), &cardHandle_, &activeProtocol_);
        if (connected == QAV_OK) {
            ownsCard_ = true;
            connectedReader_ = name;
        } else if (rc == QAV_OK) {
            rc = connected;
        }
    }
    platform::SleepMs(kLostContextPauseMs);
    return rc;
}

void CReaderPCSC::TakeListingMemoryFrom(const CReaderPCSC& master) {
    rejectedAtrs_ = master.rejectedAtrs_;
    listedCards_ = master.listedCards_;
}

void CReaderPCSC::TakeListingResults(CReaderPCSC& lister) {
    for (const AtrBlock& block : lister.rejectedAtrs_) {
        if (std::find(rejectedAtrs_.begin(), rejectedAtrs_.end(), block) == rejectedAtrs_.end()) {
            rejectedAtrs_.push_back(block);
        }
    }
    // Of two listings at once the later one's cards stand.
    listedCards_ = lister.listedCards_;
    // The lister replaced the master's lost context: the master takes the
    // new one over, unless another listing already did, and the lister
    // takes the old one to release it when it goes.
    if (lister.ownsContext_ && lister.context_ != context_) {
        std::swap(context_, lister.context_);
        lister.ownsContext_ = ownsContext_;
        ownsContext_ = true;
    }
}

uint32_t CReaderPCSC::QueryReaderState(const char* readerName, platform::ReaderState* state) {
    return RetryPlain([&] { return platform::GetReaderState(context_, readerName, state); });
}

uint32_t CReaderPCSC::EstablishContext(uint32_t /*reserved*/) {
    if (const uint32_t rc = platform::WaitForServiceStart()) return rc;
    if (ownsContext_) {
        // A second context from one reader would otherwise never be released.
        platform::ReleaseContext(context_);
        ownsContext_ = false;
    }
    const uint32_t rc = platform::EstablishContext(&context_);
    if (rc == QAV_OK) ownsContext_ = true;
    return rc;
}

uint32_t CReaderPCSC::ReleaseContext(uint32_t /*reserved*/) {
    const uint32_t rc = platform::ReleaseContext(context_);
    if (rc == QAV_OK) ownsContext_ = false;
    return rc;
}

uint32_t CReaderPCSC::ListReaders(char* buffer, uint32_t* length, uint32_t filter,
                                  uint32_t /*reserved*/) {
    if (length == nullptr) return QAV_E_NULL_POINTER;
    std::vector<char> result;
    if (const uint32_t rc = ListReaderNames(&result, filter)) return rc;
    return HandOver(result, buffer, length);
}

uint32_t CReaderPCSC::ListReaderNames(std::vector<char>* result, uint32_t filter) {
    const Operation operation(*this);
    return filter == 1 ? ListUsableReaders(result) : ListAllReaders(result);
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
    std::vector<char> list;
    const uint32_t rc = RetryPlain([&] { return platform::ListReaderNames(context_, &list); });
    if (rc == platform::kScardNoReadersAvailable) {
        result->assign(2, '\0');
        return QAV_OK;
    }
    // Readers that kept coming through every round: the caller may try again.
    if (rc == platform::kScardInsufficientBuffer) return QAV_E_BUFFER_TOO_SMALL;
    if (rc != QAV_OK) return rc;

    std::vector<const char*> names;
    const char* const end = list.data() + list.size();
    for (const char* name = list.data(); name < end && *name != '\0';) {
        const size_t nameLength = strnlen(name, static_cast<size_t>(end - name));
        if (name + nameLength == end) break;  // unterminated tail: not a name
        names.push_back(name);
        name += nameLength + 1;
    }
    // Every reader's state in one query. The service fails it whole for one
    // reader gone since the list: then each reader is asked on its own, and
    // one whose query fails is left out.
    std::vector<platform::ReaderState> states(names.size());
    const bool together =
        !names.empty() &&
        RetryPlain([&] {
            return platform::GetReaderStates(context_, names.data(), names.size(), states.data());
        }) == QAV_OK;

    result->clear();
    result->reserve(list.size() + 1);
    const std::shared_ptr<const ListedCards> listed = listedCards_;
    std::vector<size_t> usableReaders;
    bool sameCards = true;
    std::optional<CardLookup> lookup;  // made at the first card not listed before
    for (size_t i = 0; i < names.size(); ++i) {
        const char* const name = names[i];
        platform::ReaderState& state = states[i];
        if (!together && QueryReaderState(name, &state) != QAV_OK) continue;
        if ((state.eventState & platform::kStatePresent) == 0) continue;
        const size_t at = usableReaders.size();
        bool usable = listed && at < listed->size() && SameCard((*listed)[at], name, state);
        if (!usable) {
            sameCards = false;
            // Registered cards are known from memory: no connection, no command.
            if (!lookup) lookup.emplace();
            usable = lookup->Registered(state.atr.data(), state.atrLength);
        }
        if (!usable && !IsRejected(state)) {
            usable = Connect(name, 0) == QAV_OK;
            lookup.reset();  // the probe may have registered the card
            if (!usable) rejectedAtrs_.push_back(state.atr);
            // A refused connection still counts as usable, without a handle:
            // only a handle this probe made is given back.
            if (ownsCard_) Disconnect(0);
        }
        if (!usable) continue;
        usableReaders.push_back(i);
        result->insert(result->end(), name, name + std::strlen(name) + 1);
    }
    result->push_back('\0');
    // No memory and no card is the same as an empty memory: nothing to make.
    if (!sameCards || (listed ? listed->size() : 0) != usableReaders.size()) {
        auto cards = std::make_shared<ListedCards>();
        cards->reserve(usableReaders.size());
        for (const size_t i : usableReaders) {
            const platform::ReaderState& state = states[i];
            cards->push_back({names[i], state.eventState >> 16, state.atrLength, state.atr});
        }
        listedCards_ = std::move(cards);
    }
    return QAV_OK;
}

bool CReaderPCSC::SameCard(const ListedCard& listed, const char* readerName,
                           const platform::ReaderState& state) noexcept {
    return listed.insertions == state.eventState >> 16 && listed.atrLength == state.atrLength &&
           std::memcmp(listed.atr.data(), state.atr.data(), state.atrLength) == 0 &&
           listed.reader == readerName;
}

bool CReaderPCSC::IsRejected(const platform::ReaderState& state) const {
    return std::any_of(rejectedAtrs_.begin(), rejectedAtrs_.end(), [&](const AtrBlock& block) {
        return std::memcmp(block.data(), state.atr.data(), state.atrLength) == 0;
    });
}

uint32_t CReaderPCSC::GetReaderATR(const char* readerName, uint8_t* atr, uint32_t* atrLength,
                                   uint32_t /*reserved*/) {
    if (readerName == nullptr || atrLength == nullptr) return QAV_E_NULL_POINTER;
    const Operation operation(*this);
    const bool connected = IsConnectedReader(readerName);
    if (!connected || !connectionAtr_.known) {
        platform::ReaderState state;
        if (const uint32_t rc = QueryReaderState(readerName, &state)) return rc;
        // An empty reader's answer is not kept: the next card gets asked.
        if (!connected || (state.eventState & platform::kStatePresent) == 0) {
            return HandOverAtr(state.atr.data(), state.atrLength, atr, atrLength);
        }
        connectionAtr_.bytes = state.atr;
        connectionAtr_.length = state.atrLength;
        connectionAtr_.known = true;
    }
    return HandOverAtr(connectionAtr_.bytes.data(), connectionAtr_.length, atr, atrLength);
}

uint32_t CReaderPCSC::Connect(const char* readerName, uint32_t /*reserved*/) {
    if (readerName == nullptr) return QAV_E_NULL_POINTER;
    const Operation operation(*this);
    ForgetConnectionAtr();
    platform::ReaderState state;
    if (const uint32_t rc = QueryReaderState(readerName, &state)) return rc;
    if ((state.eventState & platform::kStatePresent) == 0 || state.atrLength == 0) {
        return QAV_E_NO_DEVICE;
    }
    const auto connect = [&] {
        platform::PcscHandle made = 0;
        const uint32_t rc = platform::Connect(context_, readerName, &made, &activeProtocol_);
        if (rc == QAV_OK) {
            cardHandle_ = made;
            ownsCard_ = true;
            CopyName(readerName, &connectedReader_);
        }
        return rc;
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
    CopyName(readerName, &readerName_);
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
    ForgetConnectionAtr();
    // A handle shared with another reader is that reader's to disconnect.
    if (!ownsCard_) {
        cardHandle_ = 0;
        return QAV_OK;
    }
    const uint32_t rc = platform::Disconnect(cardHandle_);
    if (rc == QAV_OK || platform::IsLostContext(rc)) {
        cardHandle_ = 0;
        ownsCard_ = false;
        connectedReader_.fill('\0');
    }
    return rc;
}

uint32_t CReaderPCSC::Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                               uint32_t* responseLength, uint32_t* statusWord,
                               uint32_t /*reserved*/) {
    if (command == nullptr || responseLength == nullptr || statusWord == nullptr) {
        return QAV_E_NULL_POINTER;
    }
    const Operation operation(*this);
    const uint32_t capacity = response != nullptr ? std::min(*responseLength, kMaxResponseData) : 0;
    // A short answer, the usual one, lands on the stack: no allocation per
    // command. Zeroed all the same: a service that claims more bytes than
    // it wrote must not hand out what an earlier call left on the stack.
    std::array<uint8_t, kInlineAnswer> inlineAnswer{};
    std::vector<uint8_t> longAnswer;
    if (capacity + 2u > inlineAnswer.size()) longAnswer.resize(capacity + 2u);
    uint8_t* const received = longAnswer.empty() ? inlineAnswer.data() : longAnswer.data();
    const uint32_t room = capacity + 2u;
    // Answers may carry key material; nothing stays behind.
    const platform::WipeOnExit wipe(received, room);
    uint32_t receivedLength = 0;
    const auto exchange = [&] {
        receivedLength = room;
        return platform::Transmit(cardHandle_, activeProtocol_, command, commandLength, received,
                                  &receivedLength);
    };
    const uint32_t rc = MayResend() ? RetryReconnecting(exchange) : SendOnce(exchange);
    NoteCommandSent();
    if (rc != QAV_OK) return rc;
    // Untrusted answer: without a status word there is nothing to report.
    if (receivedLength < 2 || receivedLength > room) return QAV_E_UNEXPECTED_DATA;

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
    std::memcpy(response, received, dataLength);
    *responseLength = dataLength;
    return QAV_OK;
}

uint32_t CReaderPCSC::ResetCard(uint32_t /*reserved*/) {
    ForgetConnectionAtr();
    return platform::Reconnect(cardHandle_, true, &activeProtocol_);
}

uint32_t CReaderPCSC::BeginTransaction(uint32_t /*reserved1*/, uint32_t /*reserved2*/) {
    const Operation operation(*this);
    return RetryReconnecting([&] { return platform::BeginTransaction(cardHandle_); });
}

uint32_t CReaderPCSC::EndTransaction(uint32_t /*reserved*/) {
    const Operation operation(*this);
    return RetryReconnecting([&] { return platform::EndTransaction(cardHandle_); });
}

}  // namespace qav
