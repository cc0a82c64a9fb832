#include "service_calls.h"

#include <dlfcn.h>
#include <winscard.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace bench {
namespace {

std::atomic<uint64_t> g_connects{0};
std::atomic<uint64_t> g_transmits{0};
std::atomic<uint64_t> g_statusQueries{0};
std::atomic<uint64_t> g_listings{0};
std::atomic<uint64_t> g_transactions{0};
thread_local std::vector<RecordedCommand>* t_recording = nullptr;

// pcsc-lite's own entry point of that name.
template <typename Function>
Function Next(const char* name) {
    void* found = dlsym(RTLD_NEXT, name);
    if (found == nullptr) std::abort();
    return reinterpret_cast<Function>(found);
}

}  // namespace

ServiceCalls CountedCalls() {
    ServiceCalls calls;
    calls.connects = g_connects.load(std::memory_order_relaxed);
    calls.transmits = g_transmits.load(std::memory_order_relaxed);
    calls.statusQueries = g_statusQueries.load(std::memory_order_relaxed);
    calls.listings = g_listings.load(std::memory_order_relaxed);
    calls.transactions = g_transactions.load(std::memory_order_relaxed);
    return calls;
}

ServiceCalls operator-(const ServiceCalls& after, const ServiceCalls& before) {
    ServiceCalls calls;
    calls.connects = after.connects - before.connects;
    calls.transmits = after.transmits - before.transmits;
    calls.statusQueries = after.statusQueries - before.statusQueries;
    calls.listings = after.listings - before.listings;
    calls.transactions = after.transactions - before.transactions;
    return calls;
}

size_t CommandCount(const std::vector<RecordedCommand>& steps) {
    return static_cast<size_t>(std::count_if(steps.begin(), steps.end(), [](const auto& step) {
        return step.kind == RecordedCommand::Kind::kCommand;
    }));
}

CommandRecorder::CommandRecorder() { t_recording = &commands_; }

CommandRecorder::~CommandRecorder() { t_recording = nullptr; }

}  // namespace bench

extern "C" {

LONG SCardConnect(SCARDCONTEXT context, LPCSTR reader, DWORD shareMode, DWORD protocols,
                  LPSCARDHANDLE card, LPDWORD active) {
    static const auto next = bench::Next<decltype(&SCardConnect)>("SCardConnect");
    bench::g_connects.fetch_add(1, std::memory_order_relaxed);
    return next(context, reader, shareMode, protocols, card, active);
}

LONG SCardTransmit(SCARDHANDLE card, const SCARD_IO_REQUEST* sendPci, LPCBYTE command,
                   DWORD commandLength, SCARD_IO_REQUEST* receivePci, LPBYTE answer,
                   LPDWORD answerLength) {
    static const auto next = bench::Next<decltype(&SCardTransmit)>("SCardTransmit");
    bench::g_transmits.fetch_add(1, std::memory_order_relaxed);
    const LONG rc = next(card, sendPci, command, commandLength, receivePci, answer, answerLength);
    if (bench::t_recording != nullptr && rc == SCARD_S_SUCCESS && answer != nullptr) {
        bench::t_recording->push_back({bench::RecordedCommand::Kind::kCommand,
                                       bench::Bytes(command, command + commandLength),
                                       bench::Bytes(answer, answer + *answerLength)});
    }
    return rc;
}

LONG SCardGetStatusChange(SCARDCONTEXT context, DWORD timeout, SCARD_READERSTATE* states,
                          DWORD count) {
    static const auto next = bench::Next<decltype(&SCardGetStatusChange)>("SCardGetStatusChange");
    bench::g_statusQueries.fetch_add(1, std::memory_order_relaxed);
    return next(context, timeout, states, count);
}

LONG SCardListReaders(SCARDCONTEXT context, LPCSTR groups, LPSTR readers, LPDWORD length) {
    static const auto next = bench::Next<decltype(&SCardListReaders)>("SCardListReaders");
    bench::g_listings.fetch_add(1, std::memory_order_relaxed);
    return next(context, groups, readers, length);
}

LONG SCardBeginTransaction(SCARDHANDLE card) {
    static const auto next = bench::Next<decltype(&SCardBeginTransaction)>("SCardBeginTransaction");
    bench::g_transactions.fetch_add(1, std::memory_order_relaxed);
    const LONG rc = next(card);
    if (bench::t_recording != nullptr && rc == SCARD_S_SUCCESS) {
        bench::t_recording->push_back({bench::RecordedCommand::Kind::kBegin, {}, {}});
    }
    return rc;
}

LONG SCardEndTransaction(SCARDHANDLE card, DWORD disposition) {
    static const auto next = bench::Next<decltype(&SCardEndTransaction)>("SCardEndTransaction");
    const LONG rc = next(card, disposition);
    if (bench::t_recording != nullptr && rc == SCARD_S_SUCCESS) {
        bench::t_recording->push_back({bench::RecordedCommand::Kind::kEnd, {}, {}});
    }
    return rc;
}

}  // extern "C"
