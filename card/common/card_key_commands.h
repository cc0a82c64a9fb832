// The fourteen key, cipher, hash and certificate commands both card classes
// carry in the same order (identity card positions 10 to 23, seal card 8 to
// 21). They are written once here, as the identity card sends them; a card
// that differs in a detail answers a hook below, and one whose command is
// another altogether overrides it.
#pragma once

#include <cstdint>

#include "card/common/card.h"
#include "qavseal/qavseal.h"

namespace qav {

struct RsaCalc;
struct Sm2Calc;

// CardHash's argument checks, in its order, for an export to make before
// anything is sent.
uint32_t CheckCardHash(uint32_t mode, uint32_t algorithm, const uint8_t* data, uint32_t dataLength,
                       uint32_t keyFile, const uint32_t* outLength) noexcept;

// ImportSessionKey's checks of the key itself, in its order, for an export
// to make before anything is sent (the wrapping form's own length rule
// waits for the container).
uint32_t CheckImportKeyMaterial(bool wrapped, uint32_t algorithm, const uint8_t* key,
                                uint32_t keyLength) noexcept;

class CCardKeyCommands : public CCard {
public:
    using CCard::CCard;

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

protected:
    // P1 of the RSA public- and private-key operations before the piece
    // position is added.
    virtual uint8_t RsaCalcP1Base() const noexcept { return 0x40; }
    // Whether WriteSM2Key without a MAC callback goes out unsecured (80 C2)
    // rather than being refused.
    virtual bool LoadsSm2KeyWithoutMac() const noexcept { return false; }

private:
    // One body for each algorithm's public- and private-key operation; the
    // entry says which.
    uint32_t RsaKeyCalc(const RsaCalc& calc, uint32_t bits, uint32_t file, const uint8_t* input,
                        uint32_t inputLength, uint8_t* out, uint32_t* outLength);
    uint32_t Sm2KeyCalc(const Sm2Calc& calc, uint32_t operation, uint32_t file,
                        const uint8_t* input, uint32_t inputLength, uint8_t* out,
                        uint32_t* outLength);
};

}  // namespace qav
