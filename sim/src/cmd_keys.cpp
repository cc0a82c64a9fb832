// Key pairs, public- and private-key operations, key loading, export.
#include "card_engine.h"
#include "tlv.h"

namespace vcard {

Answer CardEngine::GenerateRsa(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::GenerateSm2(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::RsaCalc(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::Sm2Calc(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::ExportPublicKey(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::WriteRsaKey(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::WriteSm2Key(const Apdu&) { return Status(sw::kBadIns); }
Answer CardEngine::VerifyCertificate(const Apdu&) { return Status(sw::kBadIns); }

}  // namespace vcard
