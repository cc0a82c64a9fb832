// The library started and one device opened for a command's lifetime.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// Prints "qavseal: what: message (0x...)" and gives exit status 1.
int Fail(const char* what, uint32_t rc);

// "00A4 0400" -> bytes; false on anything that is not pairs of hex digits.
bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes);
std::string ToHex(const uint8_t* bytes, size_t length);

// Splits "--reader NAME" off the arguments.
bool TakeReaderOption(std::vector<std::string>* args, std::string* reader);

}  // namespace qavtool
