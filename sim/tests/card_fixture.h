// A fresh default key per test (built once per process, copied through its
// JSON image so every test starts from the same personalisation).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host_crypto.h"
#include "vcard/seal_card.h"

namespace vcard_test {

using host::Bytes;
using host::Hex;

// The secure-messaging keys of the default image, as sim/README.md gives them.
inline const Bytes kMacKey = Hex("11223344556677889900AABBCCDDEEFF");
inline const Bytes kEncKey = Hex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");

const std::string& DefaultImageJson();

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline uint16_t Sw(const Bytes& answer) {
    if (answer.size() < 2) return 0;
    return static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
}
inline Bytes Data(const Bytes& answer) {
    return answer.size() < 2 ? Bytes{} : Bytes(answer.begin(), answer.end() - 2);
}
// header || Lc || data, with Le 00 when le.
Bytes Cmd(const std::string& header, const Bytes& data, bool le = false);
// Bytes that differ from their neighbours.
Bytes Range(size_t count, uint8_t start = 0);

class CardTest : public ::testing::Test {
protected:
    void SetUp() override { card_ = vcard::SealCard::FromJson(DefaultImageJson(), options_); }
    void Rebuild() { card_ = vcard::SealCard::FromJson(DefaultImageJson(), options_); }

    Bytes Send(const Bytes& command) { return card_->Transmit(command); }
    Bytes Send(const std::string& hex) { return card_->Transmit(Hex(hex)); }
    std::string SendHex(const std::string& hex) { return Hex(Send(hex)); }
    Bytes SelectFile(uint16_t fid);
    Bytes ReadFile(uint16_t fid, size_t length);  // whole answer, status last
    void VerifyPin() { ASSERT_EQ(SendHex("002000000412345678"), "9000"); }
    Bytes Challenge(size_t length);
    // Appends the MAC of the README's scheme to a command built with Lc = data + 4.
    Bytes Secured(Bytes header, const Bytes& data, const Bytes& challenge);

    vcard::Options options_;
    std::unique_ptr<vcard::SealCard> card_;
};

}  // namespace vcard_test
