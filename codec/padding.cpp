#include "codec/padding.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "codec/pkcs1.h"
#include "platform/secure_memory.h"
#include "qavseal/qavseal.h"

namespace qav {

namespace {

constexpr uint32_t kMaxMode = 5;
// The fill byte of modes 1 and 2 is the fill length: one byte holds at most 255.
constexpr uint32_t kMaxFillByteBlock = 0xFF;

bool IsBlockCipherMode(uint32_t mode) { return mode >= 1 && mode <= 3; }
bool IsPkcs1Mode(uint32_t mode) { return mode == 4 || mode == 5; }
bool IsFillByteMode(uint32_t mode) { return mode == 1 || mode == 2; }
uint32_t BlockType(uint32_t mode) { return mode == 4 ? 1 : 2; }

// Modes 1 to 3: the unpadded length, read from the last block.
bool BlockCipherDataLength(uint32_t mode, uint32_t blockSize, const uint8_t* in, uint32_t inLength,
                           uint32_t* dataLength) {
    if (inLength < blockSize) return false;
    const uint8_t* last = in + (inLength - blockSize);
    if (mode == 3) {
        uint32_t index = blockSize;
        while (index > 0 && last[index - 1] == 0) --index;
        if (index == 0 || last[index - 1] != 0x80) return false;
        *dataLength = inLength - (blockSize - (index - 1));
        return true;
    }
    const uint8_t pad = in[inLength - 1];
    if (pad > blockSize) return false;
    for (uint32_t i = 0; i < pad; ++i) {
        if (last[blockSize - 1 - i] != pad) return false;
    }
    *dataLength = inLength - pad;
    return true;
}

}  // namespace

uint32_t Pad(uint32_t mode, uint32_t blockSize, const uint8_t* in, uint32_t inLength, uint8_t* out,
             uint32_t* outLength) {
    if (in == nullptr || outLength == nullptr) return QAV_E_NULL_POINTER;
    if (blockSize == 0) return QAV_E_BAD_LENGTH;
    if (mode > kMaxMode) return QAV_E_PADDING;
    if (IsFillByteMode(mode) && blockSize > kMaxFillByteBlock) return QAV_E_BAD_LENGTH;

    uint64_t padded = inLength;
    uint32_t fill = 0;
    if (IsBlockCipherMode(mode)) {
        fill = blockSize - inLength % blockSize;
        padded += fill;
    } else if (IsPkcs1Mode(mode)) {
        padded = blockSize;
    }
    if (padded > 0xFFFFFFFFu) return QAV_E_BAD_LENGTH;
    const auto paddedLength = static_cast<uint32_t>(padded);
    if (out == nullptr) {
        *outLength = paddedLength;
        return QAV_OK;
    }
    if (*outLength < paddedLength) {
        *outLength = paddedLength;
        return QAV_E_BUFFER_TOO_SMALL;
    }

    if (IsPkcs1Mode(mode)) {
        std::vector<uint8_t> scratch(paddedLength);
        const platform::WipeOnExit wipe(scratch);
        if (!Pkcs1Add(BlockType(mode), scratch.data(), blockSize, in, inLength)) {
            return QAV_E_PADDING;
        }
        std::copy(scratch.begin(), scratch.end(), out);
    } else {
        // Works in place too: the input stays where it is, the fill follows.
        if (out != in) std::memmove(out, in, inLength);
        if (mode == 3) {
            out[inLength] = 0x80;
            std::fill_n(out + inLength + 1, fill - 1, uint8_t{0});
        } else {
            std::fill_n(out + inLength, fill, static_cast<uint8_t>(fill));
        }
    }
    *outLength = paddedLength;
    return QAV_OK;
}

uint32_t Unpad(uint32_t mode, uint32_t blockSize, const uint8_t* in, uint32_t inLength,
               uint8_t* out, uint32_t* outLength) {
    if (in == nullptr || outLength == nullptr) return QAV_E_NULL_POINTER;
    if (inLength == 0 || blockSize == 0) return QAV_E_BAD_LENGTH;
    if (mode > kMaxMode) return QAV_E_BAD_SELECTOR;
    if (IsFillByteMode(mode) && blockSize > kMaxFillByteBlock) return QAV_E_BAD_LENGTH;

    uint32_t dataLength = inLength;
    uint32_t dataOffset = 0;
    if (IsBlockCipherMode(mode)) {
        if (!BlockCipherDataLength(mode, blockSize, in, inLength, &dataLength)) {
            return QAV_E_PADDING;
        }
    } else if (IsPkcs1Mode(mode)) {
        if (inLength != blockSize ||
            !Pkcs1DataLength(BlockType(mode), in, blockSize, &dataLength)) {
            return QAV_E_PADDING;
        }
        dataOffset = blockSize - dataLength;
    }
    if (out == nullptr) {
        *outLength = dataLength;
        return QAV_OK;
    }
    if (*outLength < dataLength) {
        *outLength = dataLength;
        return QAV_E_BUFFER_TOO_SMALL;
    }

    // The data is the input's start (modes 0 to 3) or the block's end (4, 5):
    // move it to the front first, as out may equal in, then clear the rest.
    if (out != in + dataOffset) std::memmove(out, in + dataOffset, dataLength);
    std::fill(out + dataLength, out + *outLength, uint8_t{0});
    *outLength = dataLength;
    return QAV_OK;
}

}  // namespace qav
