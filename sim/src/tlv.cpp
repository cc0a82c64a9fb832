#include "tlv.h"

namespace vcard {

std::optional<std::vector<Tlv>> ParseTlv(const Bytes& data) {
  std::vector<Tlv> list;
  size_t pos = 0;
  while (pos < data.size()) {
    if (data.size() - pos < 2) return std::nullopt;
    Tlv element;
    element.tag = data[pos++];
    size_t length = data[pos++];
    if (length > 0x80) {
      const size_t count = length & 0x7F;
      if (count > 2 || data.size() - pos < count) return std::nullopt;
      length = 0;
      for (size_t i = 0; i < count; ++i) length = (length << 8) | data[pos++];
    } else if (length == 0x80) {
      return std::nullopt;
    }
    if (data.size() - pos < length) return std::nullopt;
    element.value.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                         data.begin() + static_cast<std::ptrdiff_t>(pos + length));
    pos += length;
    list.push_back(std::move(element));
  }
  return list;
}

void AppendTlv(Bytes& out, uint8_t tag, const Bytes& value) {
  out.push_back(tag);
  const size_t n = value.size();
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
  } else if (n <= 0xFF) {
    out.push_back(0x81);
    out.push_back(static_cast<uint8_t>(n));
  } else {
    out.push_back(0x82);
    PutBe16(out, static_cast<unsigned>(n));
  }
  out.insert(out.end(), value.begin(), value.end());
}

const Tlv* FindTlv(const std::vector<Tlv>& list, uint8_t tag) {
  for (const Tlv& element : list) {
    if (element.tag == tag) return &element;
  }
  return nullptr;
}

}  // namespace vcard
