// One-byte-tag TLV elements as the seal card's commands carry them
// (short lengths and the 81 xx / 82 xx xx long forms).
#pragma once

#include <optional>

#include "bytes.h"

namespace vcard {

struct Tlv {
  uint8_t tag = 0;
  Bytes value;
};

// Empty optional on a malformed encoding.
std::optional<std::vector<Tlv>> ParseTlv(const Bytes& data);
void AppendTlv(Bytes& out, uint8_t tag, const Bytes& value);
const Tlv* FindTlv(const std::vector<Tlv>& list, uint8_t tag);

}  // namespace vcard
