#include "virtual_key_card.h"

#include <stdexcept>
#include <utility>

#include "reader/reader.h"

namespace qav::test {

VirtualKeyCard::VirtualKeyCard(std::unique_ptr<vcard::SealCard> key) : key_(std::move(key)) {
    if (!key_) throw std::invalid_argument("no virtual key");
}

fake::Bytes VirtualKeyCard::Atr() const { return key_->Atr(); }

fake::Bytes VirtualKeyCard::Transmit(const fake::Bytes& command) { return key_->Transmit(command); }

void VirtualKeyCard::Reset() { key_->Reset(); }

uint32_t VirtualKeyCard::Protocol() const {
    return key_->GetOptions().transport == vcard::Transport::T0 ? kProtocolT0 : kProtocolT1;
}

}  // namespace qav::test
