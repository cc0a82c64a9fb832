#include "diag/elf_note.h"

#include <cstring>

namespace qav::diag {

namespace {

uint32_t ReadU32(const uint8_t* p) noexcept {
    uint32_t value = 0;
    std::memcpy(&value, p, sizeof value);  // notes are in the host's byte order
    return value;
}

size_t Align4(size_t n) noexcept { return (n + 3) & ~size_t{3}; }

}  // namespace

bool FindGnuBuildId(const uint8_t* notes, size_t length, const uint8_t** id,
                    size_t* idLength) noexcept {
    constexpr uint32_t kBuildIdType = 3;
    size_t at = 0;
    while (length - at >= 12) {
        const size_t nameSize = ReadU32(notes + at);
        const size_t descSize = ReadU32(notes + at + 4);
        const uint32_t type = ReadU32(notes + at + 8);
        const size_t nameAt = at + 12;
        if (nameSize > length - nameAt) return false;
        const size_t descAt = nameAt + Align4(nameSize);
        if (descAt > length || descSize > length - descAt) return false;
        if (type == kBuildIdType && nameSize == 4 && std::memcmp(notes + nameAt, "GNU", 4) == 0 &&
            descSize > 0) {
            *id = notes + descAt;
            *idLength = descSize;
            return true;
        }
        at = descAt + descSize;
        if (length - at < (Align4(at) - at)) return false;
        at = Align4(at);
    }
    return false;
}

}  // namespace qav::diag
