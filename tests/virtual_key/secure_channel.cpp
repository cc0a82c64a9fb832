#include "secure_channel.h"

#include <algorithm>
#include <exception>

#include "host_crypto.h"

namespace qav::test {

SecureChannel::SecureChannel()
    : macKey(host::Hex("11223344556677889900AABBCCDDEEFF")),
      encKey(host::Hex("0F1E2D3C4B5A69788796A5B4C3D2E1F0")) {}

uint32_t QAV_CALLBACK ChannelEncrypt(const uint8_t* challenge, uint32_t challengeLength,
                                     const uint8_t* plain, uint32_t plainLength, uint8_t* out,
                                     uint32_t* outLength, uintptr_t user1, uintptr_t) {
    auto* channel = reinterpret_cast<SecureChannel*>(user1);
    try {
        channel->challenges.emplace_back(challenge, challenge + challengeLength);
        const fake::Bytes cryptogram =
            host::SecureEncrypt(channel->encKey, {plain, plain + plainLength});
        if (cryptogram.size() > *outLength) return kCallbackFailure;
        std::copy(cryptogram.begin(), cryptogram.end(), out);
        *outLength = static_cast<uint32_t>(cryptogram.size());
        return QAV_OK;
    } catch (const std::exception&) {
        return kCallbackFailure;
    }
}

uint32_t QAV_CALLBACK ChannelMac(const uint8_t* challenge, uint32_t challengeLength,
                                 const uint8_t* command, uint32_t commandLength, uint8_t* mac,
                                 uintptr_t user1, uintptr_t) {
    auto* channel = reinterpret_cast<SecureChannel*>(user1);
    try {
        fake::Bytes value =
            host::SecureMac(channel->macKey, {challenge, challenge + challengeLength},
                            {command, command + commandLength});
        if (channel->macs++ == channel->spoilMacOf) value[0] ^= 0x01;
        std::copy(value.begin(), value.end(), mac);
        return QAV_OK;
    } catch (const std::exception&) {
        return kCallbackFailure;
    }
}

}  // namespace qav::test
