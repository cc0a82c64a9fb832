// Counts this process's calls into pcsc-lite and records the commands one
// thread sends. The bench program defines the PC/SC entry points it watches
// itself and passes each call on to pcsc-lite, so the library's calls are
// seen without touching the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

struct ServiceCalls {
    uint64_t connects = 0;
    uint64_t transmits = 0;
    uint64_t statusQueries = 0;  // SCardGetStatusChange
    uint64_t listings = 0;       // SCardListReaders
    uint64_t transactions = 0;   // SCardBeginTransaction
};

// Every thread's calls since the program started.
ServiceCalls CountedCalls();
ServiceCalls operator-(const ServiceCalls& after, const ServiceCalls& before);

// One step of a recorded call: a command with its answer, or the begin or
// end of a transaction around commands.
struct RecordedCommand {
    enum class Kind { kCommand, kBegin, kEnd };
    Kind kind = Kind::kCommand;
    Bytes command;
    Bytes answer;  // data and status word, as the card gave them
};

// The commands among the steps.
size_t CommandCount(const std::vector<RecordedCommand>& steps);

// Records the commands and transactions the constructing thread makes while it lives.
class CommandRecorder {
public:
    CommandRecorder();
    CommandRecorder(const CommandRecorder&) = delete;
    CommandRecorder& operator=(const CommandRecorder&) = delete;
    ~CommandRecorder();
    const std::vector<RecordedCommand>& Commands() const { return commands_; }

private:
    std::vector<RecordedCommand> commands_;
};

}  // namespace bench

namespace bench {

struct Recording {
    bool ok = false;
    std::vector<RecordedCommand> commands;
    ServiceCalls calls;  // every call into pcsc-lite the recorded call made
};

// Makes the call twice and records the second: the first may fill caches.
template <typename Call>
Recording RecordSteadyCall(Call&& call) {
    Recording recording;
    if (!call()) return recording;
    const ServiceCalls before = CountedCalls();
    CommandRecorder recorder;
    recording.ok = call();
    recording.calls = CountedCalls() - before;
    recording.commands = recorder.Commands();
    return recording;
}

}  // namespace bench
