// An open device; its address is the handle the caller holds.
#pragma once

#include <array>
#include <memory>
#include <mutex>

#include "card/common/card.h"
#include "reader/reader.h"

namespace qav {

struct CDevice {
    static constexpr size_t kNameCapacity = 256;

    std::unique_ptr<CReader> reader;  // the device's own reader, with its own context
    std::unique_ptr<CCard> card;      // talks through `reader`, so goes first
    std::array<char, kNameCapacity> name{};

    // One thread at a time talks to the card; closing sets `closed` under it,
    // so a call that waited for the lock finds the device gone.
    std::mutex io;
    bool closed = false;
};

}  // namespace qav
