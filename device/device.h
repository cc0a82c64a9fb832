// An open device; its address is the handle the caller holds.
#pragma once

#include <array>
#include <memory>

#include "card/card.h"
#include "reader/reader.h"

namespace qav {

struct CDevice {
    static constexpr size_t kNameCapacity = 256;

    std::unique_ptr<CReader> reader;  // the device's own copy of the master
    std::unique_ptr<CCard> card;      // talks through `reader`, so goes first
    std::array<char, kNameCapacity> name{};
};

}  // namespace qav
