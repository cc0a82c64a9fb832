// The GNU build id in a block of ELF notes (the bytes of a PT_NOTE segment).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav::diag {

// Points *id at the descriptor of the first NT_GNU_BUILD_ID note named "GNU"
// inside `notes`; false when there is none or a note runs past the end.
bool FindGnuBuildId(const uint8_t* notes, size_t length, const uint8_t** id,
                    size_t* idLength) noexcept;

}  // namespace qav::diag
