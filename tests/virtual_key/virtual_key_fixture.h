// The library started on a fake service whose one seal reader holds a
// virtual key, and what the key's own image says its files hold. The key
// shares no code with the library's card layer, so it checks it independently.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card/seal/card_seal.h"
#include "device/device.h"
#include "qavseal/qavseal.h"
#include "reader/reader.h"
#include "support/open_device_fixture.h"
#include "vcard/seal_card.h"

namespace qav::test {

// The virtual key as a card of the fake service. Once it has vanished it
// answers nothing, which the service takes for a removed card.
class VirtualKeyCard final : public fake::FakeCard {
public:
    explicit VirtualKeyCard(std::unique_ptr<vcard::SealCard> key) : key_(std::move(key)) {}
    fake::Bytes Atr() const override { return key_->Atr(); }
    fake::Bytes Transmit(const fake::Bytes& command) override { return key_->Transmit(command); }
    void Reset() override { key_->Reset(); }
    uint32_t Protocol() const override {
        return key_->GetOptions().transport == vcard::Transport::T0 ? kProtocolT0 : kProtocolT1;
    }
    vcard::SealCard& Key() const { return *key_; }

private:
    const std::unique_ptr<vcard::SealCard> key_;
};

inline constexpr vcard::Transport kTransports[] = {vcard::Transport::T1, vcard::Transport::T0};

inline vcard::Options WithTransport(vcard::Transport transport) {
    vcard::Options options;
    options.transport = transport;
    return options;
}

class VirtualKeyTest : public StartedLibraryTest {
protected:
    // The default key's image, made once per process (key generation is slow).
    static const std::string& DefaultImage();
    // A file of the seal application as an image stores it; empty if none.
    static fake::Bytes ImageFile(const std::string& image, uint16_t fid);
    // The default image with one file's content replaced.
    static std::string ImageWithFile(uint16_t fid, const fake::Bytes& data);

    // A fresh key from image in the reader.
    void Insert(const vcard::Options& options = {}, const std::string& image = DefaultImage());
    void Register() { RegisterAtr(key->Atr()); }
    // Opens the reader and forgets the commands that opening sent.
    QAV_HANDLE Open();
    CDevice& Device(QAV_HANDLE handle);
    CCardSeal& Card(QAV_HANDLE handle);
    // One byte written without secure messaging, under the file's own rule.
    uint32_t WritePlain(QAV_HANDLE handle, uint16_t fid, uint32_t offset, uint8_t byte);
    void VerifyPin(QAV_HANDLE handle) {
        uint32_t tries = 0;
        ASSERT_EQ(Card(handle).VerifyPIN(0, "12345678", 8, &tries, 0), QAV_OK);
    }

    // The key's file as it holds it now.
    fake::Bytes FileNow(uint16_t fid) const;
    // Commands that reached the card since the last ResetCounts, as hex.
    std::vector<std::string> Sent() const;
    size_t SelectsSent() const;

    std::shared_ptr<VirtualKeyCard> key;
};

}  // namespace qav::test
