// Which kind of reader a name stands for; device opening picks the reader
// class for identity cards from it.
#pragma once

#include <cstdint>

namespace qav {

enum class ReaderKind : uint32_t {
    kGeneric = 0,
    kZhiFuTong = 1,    // "CUP..." or "Zel" code 002
    kDongLian = 2,     // "Zel" code 004
    kZelPlain003 = 3,  // "Zel" code 003
    kZelPlain001 = 4,  // "Zel" code 001
    kZelOther = 5,     // "Zel", any other code
};

// The code is the three characters at offset 7; shorter names have none.
ReaderKind ClassifyReader(const char* name) noexcept;

}  // namespace qav
