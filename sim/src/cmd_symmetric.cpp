// Session keys, card hashing, symmetric ciphers and delivered keys.
#include "card_engine.h"
#include "tlv.h"

namespace vcard {

Answer CardEngine::ImportSessionKey(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::ExportKey(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::CipherCommand(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::SessionKeyCipher(const Apdu&, bool) { return Status(sw::kBadIns); }
Answer CardEngine::CipherData(const Apdu&, bool) { return Status(sw::kBadIns); }
Answer CardEngine::CardHash(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::DeliveryKey(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::GenerateToken(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::GenerateSessionKey(const Apdu&) { return Status(sw::kBadIns); }

}  // namespace vcard
