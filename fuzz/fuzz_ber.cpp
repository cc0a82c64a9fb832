// Tag search, DER lengths and the ability answer over arbitrary bytes: none
// may read outside the input, and a found tag must lie inside it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>

#include "device/ability.h"
#include "device/ber.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const auto tag = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const uint8_t* body = data + 2;
    const auto length = static_cast<uint32_t>(size - 2);

    for (const uint16_t wanted : {tag, static_cast<uint16_t>(tag & 0xFF)}) {
        const uint8_t* found = qav::FindBerTag(body, length, wanted);
        if (found != nullptr && (found < body || found >= body + length)) std::abort();
    }
    const uint32_t total = qav::DerTotalLength(body, length);
    if (total != 0 && total < 3) std::abort();  // a long form is at least 3 bytes

    uint32_t flag1 = 7;
    uint32_t flag2 = 7;
    if (qav::DecodeAbilityFlags(body, length, &flag1, &flag2) == 0 && (flag1 > 1 || flag2 > 1)) {
        std::abort();
    }
    return 0;
}
