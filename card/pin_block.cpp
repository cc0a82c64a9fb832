#include "card/pin_block.h"

#include "codec/hex.h"
#include "platform/secure_memory.h"
#include "qavseal/qavseal.h"

namespace qav {

uint32_t PackPinBlock(const char* pin, uint32_t length, std::vector<uint8_t>* block) {
    if (pin == nullptr || block == nullptr) return QAV_E_NULL_POINTER;
    block->assign((size_t{length} + 1) / 2, 0xFF);
    for (uint32_t i = 0; i < length; ++i) {
        const int nibble = HexDigitValue(pin[i]);
        if (nibble < 0) {
            platform::SecureWipe(block->data(), block->size());
            block->clear();
            return QAV_E_CONVERSION;
        }
        uint8_t& byte = (*block)[i / 2];
        byte = (i % 2 == 0) ? static_cast<uint8_t>((nibble << 4) | 0x0F)
                            : static_cast<uint8_t>((byte & 0xF0) | nibble);
    }
    return QAV_OK;
}

}  // namespace qav
