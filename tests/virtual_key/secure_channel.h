// The application's side of the key's secure messaging, in the key's
// documented scheme: SM4-ECB cryptograms, SM4-CBC MACs over the challenge.
// The callbacks take the channel as their first user value.
#pragma once

#include <cstdint>
#include <vector>

#include "fake_pcsc/fake_card.h"
#include "qavseal/qavseal.h"
#include "support/card_callbacks.h"

namespace qav::test {

struct SecureChannel {
    fake::Bytes macKey;
    fake::Bytes encKey;
    int spoilMacOf = -1;  // the MAC of this piece (0 = first) gets a bit flipped
    int macs = 0;
    std::vector<fake::Bytes> challenges;

    SecureChannel();
    uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
};

uint32_t QAV_CALLBACK ChannelEncrypt(const uint8_t* challenge, uint32_t challengeLength,
                                     const uint8_t* plain, uint32_t plainLength, uint8_t* out,
                                     uint32_t* outLength, uintptr_t user1, uintptr_t user2);
uint32_t QAV_CALLBACK ChannelMac(const uint8_t* challenge, uint32_t challengeLength,
                                 const uint8_t* command, uint32_t commandLength, uint8_t* mac,
                                 uintptr_t user1, uintptr_t user2);

}  // namespace qav::test
