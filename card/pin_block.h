// PIN characters packed two per byte as hexadecimal digits.
#pragma once

#include <cstdint>
#include <vector>

namespace qav {

// An odd count is completed with F in the last low nibble. A character that
// is not a hexadecimal digit gives 0xE0170028 and an empty block. The caller
// wipes the block once it is sent.
uint32_t PackPinBlock(const char* pin, uint32_t length, std::vector<uint8_t>* block);

}  // namespace qav
