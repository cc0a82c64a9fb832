// The seal key's command interpreter: one object per card, holding the
// persistent image and the volatile state a real key keeps in RAM.
#pragma once

#include <map>
#include <optional>

#include "apdu.h"
#include "card_image.h"
#include "crypto.h"
#include "vcard/seal_card.h"

namespace vcard {

enum class CurrentDf { Mf, Seal, PaymentDirectory, PaymentApplication };

struct SessionKey {
    uint8_t algorithm = 0;
    Bytes key;
};

// State of a command that arrives in pieces.
struct Chain {
    uint8_t ins = 0;
    Bytes buffer;
    Bytes iv;  // running CBC vector of a cipher chain
    Bytes key;
    uint8_t p2 = 0;
    Cipher cipher = Cipher::Sm4;
    bool session = false;  // 80 FA: session-key form rather than the cipher command
    void Clear() { *this = Chain{}; }
};

class CardEngine {
public:
    CardEngine(CardImage image, const Options& options);

    Answer Process(const Apdu& apdu);
    // Power-on state: security cleared, seal application current.
    void PowerOn();
    const CardImage& Image() const { return image_; }
    bool Modified() const { return modified_; }
    void ClearModified() { modified_ = false; }

private:
    // Files and selection (cmd_files.cpp).
    Answer Select(const Apdu& apdu);
    Answer SelectByName(const Apdu& apdu);
    Answer ReadBinary(const Apdu& apdu);
    Answer UpdateBinary(const Apdu& apdu);
    Answer GetChallenge(const Apdu& apdu);
    Answer ReadRecord(const Apdu& apdu);
    // PINs and authentication (cmd_pin.cpp).
    Answer Verify(const Apdu& apdu);
    Answer ChangeOrReload(const Apdu& apdu);
    Answer ExternalAuthenticate(const Apdu& apdu);
    Answer InternalAuthenticate(const Apdu& apdu);
    // Seal commands (cmd_seal.cpp).
    Answer SealWrite(const Apdu& apdu);
    Answer SealSign(const Apdu& apdu);
    // Key pairs and public/private key operations (cmd_keys.cpp).
    Answer GenerateRsa(const Apdu& apdu);
    Answer GenerateSm2(const Apdu& apdu);
    Answer RsaCalc(const Apdu& apdu);
    Answer Sm2Calc(const Apdu& apdu);
    Answer ExportPublicKey(const Apdu& apdu);
    Answer WriteRsaKey(const Apdu& apdu);
    Answer WriteSm2Key(const Apdu& apdu);
    Answer VerifyCertificate(const Apdu& apdu);
    // Session keys, hashing, ciphers and delivered keys (cmd_symmetric.cpp).
    Answer ImportSessionKey(const Apdu& apdu);
    Answer ExportKey(const Apdu& apdu);
    Answer CipherCommand(const Apdu& apdu);
    Answer SessionKeyCipher(const Apdu& apdu, bool first);
    Answer CipherData(const Apdu& apdu, bool first);
    Answer CardHash(const Apdu& apdu);
    Answer DeliveryKey(const Apdu& apdu);
    Answer GenerateToken(const Apdu& apdu);
    Answer GenerateSessionKey(const Apdu& apdu);

    // Helpers shared by the command files.
    void ClearSecurity();
    bool Allowed(Access access) const;
    CardFile* SealFile(uint16_t id);
    void WriteSealFile(uint16_t id, Bytes data, Access read, Access write);
    // A private- or public-key file of some container of the table.
    bool IsKeyFile(uint16_t fid);
    // Checks the 4-byte MAC that ends a secured command against the last
    // challenge (consumed); on success strips it from the data.
    std::optional<uint16_t> CheckMac(const Apdu& apdu, Bytes& data);
    Bytes TakeChallenge();

    CardImage image_;
    Options options_;
    bool modified_ = false;

    CurrentDf df_ = CurrentDf::Seal;
    std::optional<uint16_t> ef_;
    bool pinVerified_ = false;
    bool externalAuthenticated_ = false;
    Bytes challenge_;

    Bytes sealData_;
    Chain chain_;
    std::map<uint8_t, SessionKey> sessionKeys_;
    struct PendingExport {
        Bytes pub;
    };
    std::optional<PendingExport> export_;
    std::map<uint16_t, std::map<uint8_t, Bytes>> keyComponents_;
    std::optional<Bytes> certFiles_;  // CC CD CE CF values of a certificate check
    std::optional<std::pair<uint16_t, Bytes>> token_;
};

// PIN blocks: digits packed two per byte, an odd count completed with F.
Bytes PackPin(const std::string& pin);
std::string UnpackPin(const Bytes& block);

// Secure messaging as the README describes it.
Bytes SecureMac(const Bytes& macKey, const Bytes& challenge, const Bytes& command);
Bytes SecureDecrypt(const Bytes& encKey, const Bytes& cryptogram);  // throws CryptoError

}  // namespace vcard
