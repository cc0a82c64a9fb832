// The library started and one seal key open for a command's lifetime.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "output.h"
#include "qavseal/qavseal.h"

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

// Calls fill(buffer, &length) with room for capacity bytes and keeps the
// length it reports; the call's result, or QAV_OK.
template <typename Fill>
uint32_t FillBytes(size_t capacity, std::vector<uint8_t>* bytes, Fill fill) {
    bytes->assign(capacity, 0);
    auto length = static_cast<uint32_t>(capacity);
    const uint32_t rc = fill(bytes->data(), &length);
    bytes->resize(rc == QAV_OK && length <= capacity ? length : 0);
    return rc;
}

}  // namespace qavtool
