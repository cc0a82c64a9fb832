// Names and short English messages for every result code the library can
// return, and for the card's status words.
#pragma once

#include <cstdint>
#include <string>

namespace qavtool {

// Always gives a message; codes outside every table are described by their
// family (card status, bare GET RESPONSE status, PC/SC, system error).
std::string DescribeResult(uint32_t code);

// The code's symbolic name: "QAV_E_PIN_WRONG", "SCARD_E_UNKNOWN_READER",
// "QAV_CARD_STATUS(6A82)"; the hexadecimal value when it has none.
std::string ResultName(uint32_t code);

// "wrong PIN, 2 tries left" for 63C2; the low 16 bits are read.
std::string DescribeStatusWord(uint32_t sw);

// True when the code has its own entry (not a family fallback).
bool HasOwnMessage(uint32_t code);

}  // namespace qavtool
