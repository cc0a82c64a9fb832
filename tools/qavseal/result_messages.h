// Short English messages for every result code the library can return.
#pragma once

#include <cstdint>
#include <string>

namespace qavtool {

// Always gives a message; codes outside every table are described by their
// family (card status, bare GET RESPONSE status, PC/SC, system error).
std::string DescribeResult(uint32_t code);

// True when the code has its own entry (not a family fallback).
bool HasOwnMessage(uint32_t code);

}  // namespace qavtool
