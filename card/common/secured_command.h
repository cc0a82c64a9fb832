// Secure messaging through the caller's callbacks: a fresh card challenge,
// the caller's cryptogram of the plaintext, and the caller's MAC over the
// encoded command.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "qavseal/qavseal.h"
#include "reader/apdu.h"

namespace qav {

// The cryptogram area handed to the encrypt callback, and the MAC behind
// the cryptogram; both share a one-byte Lc.
inline constexpr uint32_t kCryptogramArea = 255;
inline constexpr uint32_t kCommandMacLength = 4;
inline constexpr uint32_t kMaxSecuredCryptogram = kCryptogramArea - kCommandMacLength;
inline constexpr uint32_t kMaxChallengeLength = 16;

// The card's own GET CHALLENGE (a virtual operation of the card class).
using ChallengeSource = std::function<uint32_t(uint8_t* out, uint32_t length)>;

struct SecureMessaging {
    uint32_t challengeLength = 0;
    QAV_EncryptCallback encrypt = nullptr;
    QAV_MacCallback mac = nullptr;
    uintptr_t user1 = 0;
    uintptr_t user2 = 0;
};

// The caller sets the header; data holds the command data, with room for
// the MAC so that no copy of it is left behind. The command is built with Lc
// counting the MAC to come, the caller's MAC over those bytes is appended to
// data, and the command is built again. A MAC failure comes back unchanged.
uint32_t AppendCommandMac(CApdu& apdu, const uint8_t* challenge, const SecureMessaging& messaging,
                          std::vector<uint8_t>* data);

// The caller sets the header. This asks for a challenge, has plain
// encrypted into at most room bytes (never more than the cryptogram area),
// MACs the command with Lc already counting the MAC, and leaves the apdu
// built with data = cryptogram || MAC. Callback results other than 0 come
// back unchanged; an empty cryptogram, or one longer than the room offered
// or than Lc can carry with the MAC, is 0xE0170028.
uint32_t BuildSecuredCommand(CApdu& apdu, const ChallengeSource& challenge,
                             const SecureMessaging& messaging, const uint8_t* plain,
                             uint32_t plainLength, uint32_t room);

}  // namespace qav
