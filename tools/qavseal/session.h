// The library started and one seal key open for a command's lifetime.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "ask_size.h"
#include "bytes.h"
#include "options.h"
#include "output.h"
#include "qavseal/qavseal.h"
#include "secret_text.h"

namespace qavtool {

class Library {
public:
    Library() : rc_(QAV_Initialize(0)) {}
    ~Library() {
        if (rc_ == QAV_OK) QAV_Finalize(0);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    uint32_t Result() const { return rc_; }

private:
    uint32_t rc_;
};

class Device {
public:
    Device() = default;
    ~Device() {
        if (handle_ != 0) QAV_CloseDevice(handle_, 0);
    }
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Opens the named reader, or the first seal key listed when name is empty.
    uint32_t Open(const std::string& name);
    QAV_HANDLE Handle() const { return handle_; }
    const std::string& ReaderName() const { return readerName_; }

private:
    QAV_HANDLE handle_ = 0;
    std::string readerName_;
};

enum class Login { kAsOptionsSay, kNever };

class Session {
public:
    // Starts the library and opens --device; verifies the user PIN first
    // when --verify-pin or --pin-fd asks for it (and login allows). Gives 0,
    // or the exit status of the failure it printed.
    int Open(const Options& options, Output& out, Login login = Login::kAsOptionsSay);
    QAV_HANDLE Handle() const { return device_.Handle(); }
    const std::string& ReaderName() const { return device_.ReaderName(); }

private:
    Library library_;
    Device device_;
};

// Prints the tries left the card reported with a PIN failure, then the failure.
int FailPin(Output& out, const char* during, uint32_t rc, uint32_t triesLeft);

// Opens the session a command needs and runs body(session, out) in it.
template <typename Body>
int WithSession(const Options& options, Body body, Login login = Login::kAsOptionsSay) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out, login)) return status;
    return body(session, out);
}

// The PINs a command reads, in the order it asked for them.
class Pins {
public:
    static constexpr size_t kMost = 2;
    const SecretText& operator[](size_t i) const { return pins_.at(i); }
    SecretText* At(size_t i) { return &pins_.at(i); }

private:
    std::array<SecretText, kMost> pins_;
};

// The prompt of a new PIN, which a terminal asks twice.
inline constexpr const char* kNewPin = "New PIN";

// Reads one PIN per prompt (at most Pins::kMost): lines from --pin-fd, or
// asked on the terminal. Gives 0, or the exit status of the problem it
// printed.
int ReadPins(const Options& options, Output& out, std::initializer_list<const char*> prompts,
             Pins* pins);

// For the PIN commands: opens the session without the --verify-pin login,
// reads the PINs, and runs body(session, out, pins).
template <typename Body>
int WithPins(const Options& options, std::initializer_list<const char*> prompts, Body body) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out, Login::kNever)) return status;
    Pins pins;
    if (const int status = ReadPins(options, out, prompts, &pins)) return status;
    return body(session, out, pins);
}

}  // namespace qavtool
