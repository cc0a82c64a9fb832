// An opened virtual key with the PIN verified, and helpers that run one card
// operation and hand back its output, for results checked with OpenSSL.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host_crypto.h"
#include "secure_channel.h"
#include "virtual_key_fixture.h"

namespace qav::test {

// The default key's card cipher key, as its README gives it (also session key 6).
inline const fake::Bytes kCardCipherKey = host::Hex("0123456789ABCDEFFEDCBA9876543210");

class CryptoTest : public VirtualKeyTest {
protected:
    static fake::Bytes Pattern(size_t length, uint8_t first) {
        fake::Bytes out(length);
        for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(first + i * 13);
        return out;
    }

    static fake::Bytes Concat(fake::Bytes a, const fake::Bytes& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    static uint32_t U32(size_t n) { return static_cast<uint32_t>(n); }

    // Readable failures: byte strings compare as hex.
    static std::string H(const fake::Bytes& bytes) { return fake::ToHex(bytes); }

    void SetUp() override {
        VirtualKeyTest::SetUp();
        Insert();
        handle = Open();
        VerifyPin(handle);
    }
    CCardSeal& card() { return Card(handle); }

    // call(out, &length) with room bytes offered; the output trimmed to the
    // length, empty when the call fails.
    template <typename Call>
    fake::Bytes Output(size_t room, Call call) {
        fake::Bytes out(room);
        auto length = U32(room);
        const uint32_t rc = call(out.data(), &length);
        EXPECT_EQ(rc, QAV_OK);
        out.resize(rc == QAV_OK ? length : 0);
        return out;
    }
    // direction 0 encrypts, 1 decrypts, as the session-key exports pass them.
    fake::Bytes SessionCipher(uint32_t direction, uint32_t index, const fake::Bytes& iv,
                              const fake::Bytes& in) {
        return Output(in.size(), [&](uint8_t* out, uint32_t* length) {
            return card().SessionKeyCipher(direction, index, iv.empty() ? 0 : 1,
                                           iv.empty() ? nullptr : iv.data(), U32(iv.size()),
                                           in.data(), U32(in.size()), out, length, 0);
        });
    }

    QAV_HANDLE handle = 0;
    SecureChannel channel;
};

}  // namespace qav::test
