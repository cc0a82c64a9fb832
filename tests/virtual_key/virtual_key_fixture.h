// The library started on a fake service whose one seal reader holds a
// virtual key, and what the key's own image says its files hold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/card_seal.h"
#include "device/device.h"
#include "qavseal/qavseal.h"
#include "support/open_device_fixture.h"
#include "virtual_key_card.h"

namespace qav::test {

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

    // The key's file as it holds it now.
    fake::Bytes FileNow(uint16_t fid) const;
    // Commands that reached the card since the last ResetCounts, as hex.
    std::vector<std::string> Sent() const;
    size_t SelectsSent() const;

    std::shared_ptr<VirtualKeyCard> key;
};

}  // namespace qav::test
