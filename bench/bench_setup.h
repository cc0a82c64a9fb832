// What every benchmark group gets: the library started, each virtual key of
// this run opened through the library and through pcsc-lite directly.
#pragma once

#include <qavseal/qavseal.h>

#include <memory>
#include <string>
#include <vector>

#include "pcsc_link.h"
#include "raw_card.h"
#include "summary_reporter.h"

namespace bench {

class Device {
public:
    explicit Device(const std::string& reader)
        : result_(QAV_OpenDevice(reader.c_str(), &handle_, 0)) {}
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() {
        if (result_ == QAV_OK) QAV_CloseDevice(handle_, 0);
    }
    uint32_t Result() const { return result_; }
    QAV_HANDLE Handle() const { return handle_; }

private:
    QAV_HANDLE handle_ = 0;
    uint32_t result_;
};

struct Key {
    std::string reader;
    std::string control;  // the FIFO that plugs and unplugs the card
    std::unique_ptr<Device> device;
    std::unique_ptr<RawCard> raw;
    // Key 0 only: a second raw connection, replaying the same commands as a
    // control. How far it lands from the first is how far two sides doing
    // exactly the same thing drift apart in this run.
    std::unique_ptr<RawCard> rawControl;
};

struct Setup {
    const PcscContext* context = nullptr;
    std::vector<Key> keys;
};

using Lines = std::vector<SummaryLine>;

// The default key's user PIN.
inline constexpr char kPin[] = "12345678";

Lines RegisterFamilies(const Setup& setup);
Lines RegisterBulk(const Setup& setup);
Lines RegisterListing(const Setup& setup);
Lines RegisterWatch(const Setup& setup);
// The watch alone, on a service without readers.
Lines RegisterIdleWatch(const Setup& setup);
Lines RegisterMemory(const Setup& setup);
Lines RegisterThreads(const Setup& setup);
// The PKCS#11 module against the exports it calls (none without the module).
Lines RegisterPkcs11(const Setup& setup);

}  // namespace bench
