// SELECT as both card classes check and build it.
#pragma once

#include <cstdint>

#include "reader/apdu.h"

namespace qav {

// The first checks of a SELECT, on what was passed: a name's length (1 to
// 255, else 0xE0170006) when a name is given, else the identifier's range
// (0xE017000D).
uint32_t CheckSelectArguments(const uint8_t* name, uint32_t nameLength, bool fidFits) noexcept;

// The last checks, on the chosen form: by name needs the name (0xE0170005),
// by identifier sends fid even when a name came along (0xE017000D).
uint32_t CheckSelectForm(bool byName, const uint8_t* name, bool fidFits) noexcept;

// 00 A4 with the name (P1 04) or the two-byte identifier (P1 p1ById) as
// data, built.
CApdu SelectCommand(const CApduFormat* format, bool byName, const uint8_t* name,
                    uint32_t nameLength, uint32_t fid, uint8_t p1ById);

}  // namespace qav
