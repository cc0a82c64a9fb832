// VERIFY, CHANGE, secured RELOAD, EXTERNAL and INTERNAL AUTHENTICATE.
#include <algorithm>

#include "card_engine.h"

namespace vcard {
namespace {

uint16_t TriesStatus(uint8_t left) { return static_cast<uint16_t>(0x63C0 | (left & 0x0F)); }

bool ValidBlock(const Bytes& block) { return block.size() >= 2 && block.size() <= 8; }

}  // namespace

Answer CardEngine::Verify(const Apdu& apdu) {
  if (apdu.p1 != 0x00 || apdu.p2 != 0x00) return Status(sw::kRefNotFound);
  if (apdu.data.empty()) {
    if (image_.pinTriesLeft == 0) return Status(sw::kBlocked);
    return pinVerified_ ? Ok() : Status(TriesStatus(image_.pinTriesLeft));
  }
  if (!ValidBlock(apdu.data)) return Status(sw::kWrongLength);
  if (image_.pinTriesLeft == 0) return Status(sw::kBlocked);
  if (apdu.data != PackPin(image_.pin)) {
    pinVerified_ = false;
    --image_.pinTriesLeft;
    modified_ = true;
    return Status(TriesStatus(image_.pinTriesLeft));
  }
  pinVerified_ = true;
  if (image_.pinTriesLeft != image_.pinMaxTries) {
    image_.pinTriesLeft = image_.pinMaxTries;
    modified_ = true;
  }
  return Ok();
}

Answer CardEngine::ChangeOrReload(const Apdu& apdu) {
  if (apdu.cla == 0x84) {
    // Reload: unblocks the PIN; the MAC proves the issuer's key.
    if (apdu.p1 != 0x00 || (apdu.p2 != 0x00 && apdu.p2 != 0x02)) return Status(sw::kWrongP1P2);
    Bytes body;
    if (const auto failure = CheckMac(apdu, body)) return Status(*failure);
    Bytes block;
    if (apdu.p2 == 0x02) {
      try {
        block = SecureDecrypt(image_.encKey, body);
      } catch (const CryptoError&) {
        return Status(sw::kSmBadMac);
      }
    } else {
      block = body;
    }
    if (block.empty() || block[0] != block.size() - 1) return Status(sw::kWrongData);
    const Bytes pin(block.begin() + 1, block.end());
    if (!ValidBlock(pin)) return Status(sw::kWrongData);
    image_.pin = UnpackPin(pin);
    image_.pinTriesLeft = image_.pinMaxTries;
    modified_ = true;
    return Ok();
  }
  if (apdu.p1 != 0x01 || apdu.p2 != 0x00) return Status(sw::kWrongP1P2);
  if (apdu.data.empty()) {
    if (image_.pinTriesLeft == 0) return Status(sw::kBlocked);
    return Status(TriesStatus(image_.pinTriesLeft));
  }
  const auto separator = std::find(apdu.data.begin(), apdu.data.end(), 0xFF);
  const Bytes oldBlock(apdu.data.begin(), separator);
  if (separator == apdu.data.end()) return Status(sw::kWrongData);
  const Bytes newBlock(separator + 1, apdu.data.end());
  if (!ValidBlock(oldBlock) || !ValidBlock(newBlock)) return Status(sw::kWrongData);
  if (image_.pinTriesLeft == 0) return Status(sw::kBlocked);
  if (oldBlock != PackPin(image_.pin)) {
    --image_.pinTriesLeft;
    modified_ = true;
    return Status(TriesStatus(image_.pinTriesLeft));
  }
  image_.pin = UnpackPin(newBlock);
  image_.pinTriesLeft = image_.pinMaxTries;
  modified_ = true;
  return Ok();
}

Answer CardEngine::ExternalAuthenticate(const Apdu& apdu) {
  if (apdu.p1 != 0x00) return Status(sw::kWrongP1P2);
  const auto key = image_.externalKeys.find(apdu.p2);
  if (key == image_.externalKeys.end()) return Status(sw::kRefNotFound);
  uint8_t& tries = image_.externalTries[apdu.p2];
  if (tries == 0) return Status(sw::kBlocked);
  Bytes challenge = TakeChallenge();
  if (challenge.empty()) return Status(sw::kConditions);
  challenge.resize(16, 0x00);
  const Bytes expected = BlockCipher(Cipher::Sm4, key->second, {}, challenge, true);
  if (apdu.data != expected) {
    --tries;
    modified_ = true;
    return Status(TriesStatus(tries));
  }
  tries = 5;
  externalAuthenticated_ = true;
  return Ok();
}

Answer CardEngine::InternalAuthenticate(const Apdu& apdu) {
  if (apdu.p1 != 0x00) return Status(sw::kWrongP1P2);
  if (apdu.data.size() != 16) return Status(sw::kWrongLength);
  const auto key = image_.internalKeys.find(apdu.p2);
  if (key == image_.internalKeys.end()) return Status(sw::kRefNotFound);
  return Ok(BlockCipher(Cipher::Sm4, key->second, {}, apdu.data, true));
}

}  // namespace vcard
