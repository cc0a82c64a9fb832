// How a card encodes its commands; one record per card object.
#pragma once

#include <cstdint>

#include "reader/reader.h"

namespace qav {

struct CApduFormat {
    static constexpr uint32_t kShortResponseCapacity = 255;

    uint32_t responseCapacity = kShortResponseCapacity;
    uint32_t headerOffset = 0;      // zero bytes written before CLA
    uint32_t lengthFieldWidth = 1;  // bytes of Lc and Le, big-endian (1 to 4)
    CReader* reader = nullptr;      // not owned; its protocol decides whether Le rides with data
};

}  // namespace qav
