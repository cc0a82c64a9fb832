// The Zel identity card. Its operations are virtual and declared in its own
// table order (24 positions; the shared key commands sit at 10 to 23, two
// later than on the seal card). It keeps no state of its own.
#pragma once

#include <cstdint>

#include "card/card.h"
#include "qavseal/qavseal.h"

namespace qav {

class CCardZel : public CCard {
public:
    explicit CCardZel(CReader* reader) : CCard(reader) {}

    // 0
    uint32_t GetResponse(uint32_t* statusWord, uint8_t* response,
                         uint32_t* responseLength) override;
    // 1. type 0: fid; type 1: name. The answer is not handed out; response
    // and responseLength are never read.
    virtual uint32_t SelectFile(uint32_t type, const uint8_t* name, uint32_t nameLength,
                                uint32_t fid, uint8_t* response, uint32_t* responseLength,
                                uint32_t reserved);
    // 2. Secured (CLA 04, fresh challenge per piece) when mac is given.
    virtual uint32_t UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t length,
                                  uint32_t challengeLength, QAV_EncryptCallback encrypt,
                                  QAV_MacCallback mac, uintptr_t context1, uintptr_t context2);
    // 3. buffer null: only asks whether the card can read there.
    virtual uint32_t ReadBinary(uint32_t offset, uint8_t* buffer, uint32_t* length,
                                uint32_t reserved);
    // 4. length 4, 8 or 16.
    virtual uint32_t GetChallenge(uint8_t* buffer, uint32_t length, uint32_t reserved);
    // 5. keyId (at most 255) is not sent; the card knows its key.
    virtual uint32_t ExternalAuth(uint32_t keyId, uint32_t challengeLength,
                                  QAV_CryptogramCallback cryptogram, uint32_t* triesLeft,
                                  uintptr_t context1, uintptr_t context2);
    // 6. flags bit 0: the reader's PIN pad takes the PIN. Digits only.
    virtual uint32_t VerifyPIN(uint32_t pinRef, const char* pin, uint32_t pinLength,
                               uint32_t* triesLeft, uint32_t flags);
    // 7. flags bit 0: the reader's PIN pad takes both PINs.
    virtual uint32_t ChangePIN(uint32_t pinRef, const char* oldPin, uint32_t oldLength,
                               const char* newPin, uint32_t newLength, uint32_t* triesLeft,
                               uint32_t flags);
    // 8: kept free; always QAV_E_NOT_SUPPORTED.
    virtual uint32_t ReservedOperation(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t e,
                                       uint32_t f, uint32_t g, uint32_t h);
    // 9. marker must be non-zero and is otherwise unused.
    virtual uint32_t WriteSecuredBlock(uint32_t marker, QAV_EncryptCallback encrypt,
                                       uint32_t challengeLength, QAV_MacCallback mac,
                                       uintptr_t context1, uintptr_t context2);
    // 10 to 23: not built yet; QAV_E_NOT_SUPPORTED without sending anything.
    virtual uint32_t ExportSessionKey(uint32_t keyIndex, uint32_t wrapped, uint32_t algorithm,
                                      uint32_t wrapKeyFile, uint32_t wrapAlgorithm, uint8_t* out,
                                      uint32_t* outLength, uint32_t reserved);
    virtual uint32_t ImportSessionKey(uint32_t mode, uint32_t wrapped, uint32_t algorithm,
                                      uint32_t flag, uint32_t wrapKeyFile, uint32_t wrapAlgorithm,
                                      const uint8_t* key, uint32_t keyLength, uint32_t* keyIndex,
                                      uint32_t reserved);
    virtual uint32_t SessionKeyCipher(uint32_t direction, uint32_t keyIndex, uint32_t withIv,
                                      const uint8_t* iv, uint32_t ivLength, const uint8_t* input,
                                      uint32_t inputLength, uint8_t* output, uint32_t* outputLength,
                                      uint32_t reserved);
    virtual uint32_t CardHash(uint32_t mode, uint32_t algorithm, const uint8_t* data,
                              uint32_t dataLength, uint32_t keyFile, uint8_t* out,
                              uint32_t* outLength, uint32_t reserved);
    virtual uint32_t GenRSAKeyPair(uint32_t bits, uint32_t privateFile, uint32_t publicFile,
                                   uint8_t* out, uint32_t* outLength, uint32_t reserved);
    virtual uint32_t RSAPublicKeyCalc(uint32_t bits, uint32_t publicFile, const uint8_t* input,
                                      uint32_t inputLength, uint8_t* out, uint32_t* outLength,
                                      uint32_t reserved);
    virtual uint32_t RSAPrivateKeyCalc(uint32_t bits, uint32_t privateFile, const uint8_t* input,
                                       uint32_t inputLength, uint8_t* out, uint32_t* outLength,
                                       uint32_t reserved);
    virtual uint32_t WriteRSAKey(uint32_t bits, uint32_t encrypted, uint32_t component,
                                 uint32_t file, uint32_t keyIndex, uint32_t variant,
                                 const uint8_t* value, uint32_t valueLength,
                                 uint32_t challengeLength, QAV_MacCallback mac, uintptr_t context1,
                                 uintptr_t context2);
    virtual uint32_t GenSM2KeyPair(uint32_t variant, uint32_t privateFile, uint32_t publicFile,
                                   uint8_t* out, uint32_t* outLength, uint32_t reserved);
    virtual uint32_t SM2PublicKeyCalc(uint32_t operation, uint32_t publicFile, const uint8_t* input,
                                      uint32_t inputLength, uint8_t* out, uint32_t* outLength,
                                      uint32_t reserved);
    virtual uint32_t SM2PrivateKeyCalc(uint32_t operation, uint32_t privateFile,
                                       const uint8_t* input, uint32_t inputLength, uint8_t* out,
                                       uint32_t* outLength, uint32_t reserved);
    virtual uint32_t WriteSM2Key(uint32_t encrypted, uint32_t part, uint32_t variant, uint32_t file,
                                 uint32_t keyIndex, uint32_t flag, const uint8_t* value,
                                 uint32_t valueLength, uint32_t challengeLength,
                                 QAV_MacCallback mac, uintptr_t context1, uintptr_t context2);
    virtual uint32_t ExportPublicKey(uint32_t keyKind, int32_t fid, uint32_t algorithm,
                                     uint32_t ignored1, uint32_t ignored2, uint32_t keyPart,
                                     uint8_t* publicKey, uint32_t* publicKeyLength,
                                     uint8_t* firstAnswer, uint32_t* firstAnswerLength,
                                     uint32_t reserved);
    virtual uint32_t VerifyCertData(uint32_t fileCD, uint32_t fileCE, uint32_t fileCC,
                                    uint32_t variant, uint32_t fileF1, uint32_t fileF2,
                                    uint32_t fileF3, uint32_t option, const uint8_t* data,
                                    uint32_t dataLength, uint32_t reserved);

private:
    // Keyboard PIN commands: P2 = 00, and once more with P2 = 81 when the
    // card answers 6A86 (its other PIN reference form).
    uint32_t SendPinWithRetry(uint8_t cla, uint8_t ins, uint8_t p1, const uint8_t* data,
                              uint32_t dataLength);
    // The PIN-pad form: F0 F2 00 p2 with Lc 00; the reader collects the PIN.
    uint32_t SendPinPad(uint8_t p2);
};

}  // namespace qav
