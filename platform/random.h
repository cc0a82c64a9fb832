// Random bytes from the operating system's generator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav::platform {

// Fills all length bytes, or answers false and leaves their content undefined.
bool FillRandom(uint8_t* data, size_t length) noexcept;

}  // namespace qav::platform
