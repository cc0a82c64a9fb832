#include "card/common/secured_command.h"

#include <algorithm>
#include <array>
#include <vector>

#include "platform/secure_memory.h"

namespace qav {

uint32_t BuildSecuredCommand(CApdu& apdu, const ChallengeSource& challenge,
                             const SecureMessaging& messaging, const uint8_t* plain,
                             uint32_t plainLength, uint32_t room) {
    if (!challenge || messaging.encrypt == nullptr || messaging.mac == nullptr) {
        return QAV_E_NULL_POINTER;
    }
    if (messaging.challengeLength > kMaxChallengeLength) return QAV_E_BAD_LENGTH;
    std::array<uint8_t, kMaxChallengeLength> nonce{};
    uint32_t rc = challenge(nonce.data(), messaging.challengeLength);
    if (rc != QAV_OK) return rc;

    // Room for the cryptogram and the MAC behind it, so the final data needs
    // no second copy; wiped because the plaintext it encrypts may be key
    // material.
    std::vector<uint8_t> data(size_t{kCryptogramArea} + kCommandMacLength, 0);
    const platform::WipeOnExit wipeData(data);
    const uint32_t offered = std::min(room, kCryptogramArea);
    uint32_t produced = offered;
    rc = messaging.encrypt(nonce.data(), messaging.challengeLength, plain, plainLength, data.data(),
                           &produced, messaging.user1, messaging.user2);
    if (rc != QAV_OK) return rc;
    if (produced == 0 || produced > offered || produced > kMaxSecuredCryptogram) {
        return QAV_E_CONVERSION;
    }

    data.resize(produced);
    return AppendCommandMac(apdu, nonce.data(), messaging, &data);
}

uint32_t AppendCommandMac(CApdu& apdu, const uint8_t* challenge, const SecureMessaging& messaging,
                          std::vector<uint8_t>* data) {
    const auto length = static_cast<uint32_t>(data->size());
    apdu.lc = length + kCommandMacLength;
    apdu.SetData(data->data(), length);
    apdu.Build();
    std::array<uint8_t, kCommandMacLength> mac{};
    const uint32_t rc =
        messaging.mac(challenge, messaging.challengeLength, apdu.Command(), apdu.CommandLength(),
                      mac.data(), messaging.user1, messaging.user2);
    if (rc != QAV_OK) return rc;

    data->insert(data->end(), mac.begin(), mac.end());
    apdu.SetData(data->data(), length + kCommandMacLength);
    apdu.Build();
    return QAV_OK;
}

}  // namespace qav
