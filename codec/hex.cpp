#include "codec/hex.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "qavseal/qavseal.h"

namespace qav {

uint32_t BytesToHex(const uint8_t* in, uint32_t length, char* out, uint32_t* outLength) {
    if (in == nullptr || outLength == nullptr) return QAV_E_NULL_POINTER;
    if (length == 0 || length > (0xFFFFFFFFu - 1) / 2) return QAV_E_BAD_LENGTH;
    const uint32_t size = 2 * length + 1;
    if (out == nullptr) {
        *outLength = size;
        return QAV_OK;
    }
    if (*outLength < size) {
        *outLength = size;
        return QAV_E_BUFFER_TOO_SMALL;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (uint32_t i = 0; i < length; ++i) {
        out[2 * i] = kDigits[in[i] >> 4];
        out[2 * i + 1] = kDigits[in[i] & 0x0F];
    }
    out[2 * length] = '\0';
    *outLength = size;
    return QAV_OK;
}

uint32_t HexToBytes(const char* text, uint8_t* out, uint32_t* outLength) {
    if (text == nullptr || outLength == nullptr) return QAV_E_NULL_POINTER;
    const size_t textLength = std::strlen(text);
    if (textLength == 0 || textLength % 2 != 0 || textLength / 2 > 0xFFFFFFFFu) {
        return QAV_E_BAD_LENGTH;
    }
    const auto size = static_cast<uint32_t>(textLength / 2);
    if (out == nullptr) {
        *outLength = size;
        return QAV_OK;
    }
    if (*outLength < size) {
        *outLength = size;
        return QAV_E_BUFFER_TOO_SMALL;
    }
    for (uint32_t i = 0; i < size; ++i) {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return QAV_E_CONVERSION;
        out[i] = static_cast<uint8_t>((high << 4) | low);
    }
    *outLength = size;
    return QAV_OK;
}

uint32_t ReverseBytes(uint8_t* dst, const uint8_t* src, uint32_t length) {
    if (dst == nullptr || src == nullptr) return QAV_E_NULL_POINTER;
    if (length == 0) return QAV_OK;
    if (dst == src) {
        std::reverse(dst, dst + length);
        return QAV_OK;
    }
    const std::vector<uint8_t> scratch(src, src + length);  // src and dst may overlap
    std::reverse_copy(scratch.begin(), scratch.end(), dst);
    return QAV_OK;
}

}  // namespace qav
