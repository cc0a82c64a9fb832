// The (buffer, length in/out) pairs card operations fill for their callers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "qavseal/qavseal.h"

namespace qav {

// For an answer of known size, before anything is sent: a missing buffer is
// a size query (0) and a short one 0xE017003B, both with the needed size
// written. Empty when the buffer takes `needed` bytes and the operation goes
// on. length must not be null.
inline std::optional<uint32_t> SizeQueryOrTooSmall(const uint8_t* out, uint32_t* length,
                                                   uint32_t needed) noexcept {
    if (out != nullptr && *length >= needed) return std::nullopt;
    const uint32_t result = out == nullptr ? QAV_OK : QAV_E_BUFFER_TOO_SMALL;
    *length = needed;
    return result;
}

// The same rule once the answer is in: the value is copied when it fits.
inline uint32_t HandOut(const uint8_t* value, uint32_t valueLength, uint8_t* out,
                        uint32_t* length) noexcept {
    if (const auto stop = SizeQueryOrTooSmall(out, length, valueLength)) return *stop;
    std::copy_n(value, valueLength, out);
    *length = valueLength;
    return QAV_OK;
}

}  // namespace qav
