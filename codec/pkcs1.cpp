#include "codec/pkcs1.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/random.h"
#include "platform/secure_memory.h"

namespace qav {

namespace {

constexpr uint32_t kMinFiller = 8;
constexpr size_t kSpareRandom = 16;

// Masks: all ones for true, zero for false, computed without branches.
uint32_t MaskIsZero(uint32_t value) { return 0u - (((value | (0u - value)) >> 31) ^ 1u); }
uint32_t MaskEqual(uint32_t a, uint32_t b) { return MaskIsZero(a ^ b); }
// a < b for values below 2^31.
uint32_t MaskLess(uint32_t a, uint32_t b) { return 0u - ((a - b) >> 31); }
uint32_t Select(uint32_t mask, uint32_t a, uint32_t b) { return (mask & a) | (~mask & b); }

// Replaces every zero byte with a non-zero one from a spare draw. About one
// filler in three of RSA-1024 holds a zero: a draw per zero byte would cost a
// call to the system's generator each.
bool FillNonZero(uint8_t* filler, uint32_t length) {
    if (!platform::FillRandom(filler, length)) return false;
    std::array<uint8_t, kSpareRandom> spare{};
    const platform::WipeOnExit wipe(spare.data(), spare.size());
    size_t next = spare.size();
    for (uint32_t i = 0; i < length; ++i) {
        while (filler[i] == 0) {
            if (next == spare.size()) {
                if (!platform::FillRandom(spare.data(), spare.size())) return false;
                next = 0;
            }
            filler[i] = spare[next++];
        }
    }
    return true;
}

}  // namespace

bool Pkcs1Add(uint32_t blockType, uint8_t* block, uint32_t blockSize, const uint8_t* data,
              uint32_t dataLength) {
    if (blockType != 1 && blockType != 2) return false;
    if (blockSize < kPkcs1Overhead || dataLength > blockSize - kPkcs1Overhead) return false;
    const uint32_t fillerLength = blockSize - 3 - dataLength;
    block[0] = 0x00;
    block[1] = static_cast<uint8_t>(blockType);
    if (blockType == 1) {
        std::fill_n(block + 2, fillerLength, uint8_t{0xFF});
    } else if (!FillNonZero(block + 2, fillerLength)) {
        return false;
    }
    block[2 + fillerLength] = 0x00;
    if (dataLength != 0) std::memcpy(block + 3 + fillerLength, data, dataLength);
    return true;
}

bool Pkcs1DataLength(uint32_t blockType, const uint8_t* block, uint32_t blockSize,
                     uint32_t* dataLength) {
    // Sizes past 2^31 would break the mask arithmetic and are no RSA modulus.
    if (blockSize < kPkcs1Overhead || blockSize > 0x7FFFFFFFu) return false;
    if (blockType != 1 && blockType != 2) return false;
    const uint32_t typeOne = MaskEqual(blockType, 1);
    uint32_t good = MaskEqual(block[1], blockType);
    uint32_t separator = 0;
    uint32_t searching = ~0u;
    for (uint32_t i = 2; i < blockSize; ++i) {
        const uint32_t isZero = MaskIsZero(block[i]);
        separator = Select(searching & isZero, i, separator);
        // Type 1 filler is all FF; after the separator anything goes.
        good &= ~(typeOne & searching & ~isZero) | MaskEqual(block[i], 0xFF);
        searching &= ~isZero;
    }
    good &= ~searching;
    good &= ~MaskLess(separator, 2 + kMinFiller);
    *dataLength = Select(good, blockSize - separator - 1, 0);
    return good != 0;
}

}  // namespace qav
