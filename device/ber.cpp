#include "device/ber.h"

namespace qav {
namespace {

constexpr uint8_t kConstructed = 0x20;
constexpr uint8_t kTagNumberMask = 0x1F;

}  // namespace

const uint8_t* FindBerTag(const uint8_t* data, uint32_t length, uint16_t tag) {
    if (data == nullptr || tag == 0) return nullptr;
    const bool twoByteTag = tag > 0xFF;
    const auto first = static_cast<uint8_t>(twoByteTag ? tag >> 8 : tag);
    const auto second = static_cast<uint8_t>(tag & 0xFF);
    if (twoByteTag && (first & kTagNumberMask) != kTagNumberMask) return nullptr;

    uint64_t pos = 0;
    while (pos < length) {
        const bool matches =
            data[pos] == first && (!twoByteTag || (pos + 1 < length && data[pos + 1] == second));
        if (matches) return data + pos;

        // The element's own tag size decides where its length byte is.
        const uint64_t tagSize = (data[pos] & kTagNumberMask) == kTagNumberMask ? 2 : 1;
        const uint64_t lengthAt = pos + tagSize;
        if (lengthAt >= length) return nullptr;
        uint64_t headerSize = 0;
        uint64_t valueSize = 0;
        if (data[lengthAt] < 0x80) {
            headerSize = tagSize + 1;
            valueSize = data[lengthAt];
        } else if (data[lengthAt] == 0x81) {
            if (lengthAt + 1 >= length) return nullptr;
            headerSize = tagSize + 2;
            valueSize = data[lengthAt + 1];
        } else {
            return nullptr;
        }
        // Constructed: step into it; primitive: step over it.
        pos += (data[pos] & kConstructed) != 0 ? headerSize : headerSize + valueSize;
    }
    return nullptr;
}

uint32_t DerTotalLength(const uint8_t* element, uint32_t available) {
    if (element == nullptr || available < 2 || element[1] < 0x80) return 0;
    const uint32_t count = element[1] & 0x7Fu;
    // 80 (indefinite) has no length bytes and is no DER length at all.
    if (count == 0 || count > 8 || 2 + count > available) return 0;
    uint64_t value = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (value > (UINT64_MAX >> 8)) return 0;
        value = value << 8 | element[2 + i];
    }
    const uint64_t total = 2 + count + value;
    return total > UINT32_MAX ? 0 : static_cast<uint32_t>(total);
}

}  // namespace qav
