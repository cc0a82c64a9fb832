// The virtual seal key as a card of the fake PC/SC service, so the library's
// reader and card code talk to an independently written card in-process.
#pragma once

#include <cstdint>
#include <memory>

#include "fake_pcsc/fake_card.h"
#include "vcard/seal_card.h"

namespace qav::test {

class VirtualKeyCard final : public fake::FakeCard {
public:
    explicit VirtualKeyCard(std::unique_ptr<vcard::SealCard> key);

    fake::Bytes Atr() const override;
    // The key answers nothing once it has vanished, which the service takes
    // for a removed card.
    fake::Bytes Transmit(const fake::Bytes& command) override;
    void Reset() override;
    uint32_t Protocol() const override;

    vcard::SealCard& Key() const { return *key_; }

private:
    const std::unique_ptr<vcard::SealCard> key_;
};

}  // namespace qav::test
