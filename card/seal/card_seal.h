// The electronic-seal key. Its operations are virtual and declared in the
// order of SealOperation (card/card_operation.h).
#pragma once

#include <cstdint>

#include "card/common/card_key_commands.h"
#include "qavseal/qavseal.h"

namespace qav {

// The authentication commands' argument checks, in their order, for an
// export to make before anything is sent.
uint32_t CheckExternalAuth(uint32_t keyReference, uint32_t challengeLength,
                           QAV_CryptogramCallback cryptogram, const uint32_t* triesLeft) noexcept;
uint32_t CheckReloadPin(uint32_t mode, uint32_t challengeLength, QAV_EncryptCallback encrypt,
                        QAV_MacCallback mac, const char* newPin, uint32_t newPinLength,
                        const uint32_t* triesLeft) noexcept;
uint32_t CheckInternalAuth(int32_t keyReference, const uint8_t* data, int32_t dataLength,
                           const uint32_t* outLength) noexcept;

class CCardSeal : public CCardKeyCommands {
public:
    explicit CCardSeal(CReader* reader) : CCardKeyCommands(reader) {}

    CCardSeal* AsSealCard() noexcept override { return this; }

    // 0
    uint32_t GetResponse(uint32_t* statusWord, uint8_t* response,
                         uint32_t* responseLength) override;
    // 1. byName 1: name is the command data; byName 0: fid, as a child of the
    // current file when childOfCurrent is non-zero.
    virtual uint32_t SelectFile(uint32_t byName, const uint8_t* name, uint32_t nameLength,
                                int32_t fid, uint8_t* response, uint32_t* responseLength,
                                uint32_t childOfCurrent);
    // 2. Secured (CLA 04, a fresh challenge per piece) when mac is given;
    // progress is told user1.
    virtual uint32_t UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t dataLength,
                                  uint32_t challengeLength, QAV_EncryptCallback encrypt,
                                  QAV_MacCallback mac, QAV_ProgressCallback progress,
                                  uintptr_t user1, uintptr_t user2);
    // 3. out null: only asks whether the card can read there.
    virtual uint32_t ReadBinary(uint32_t offset, uint8_t* out, uint32_t* length,
                                QAV_ProgressCallback progress, uintptr_t user1, uint32_t reserved);
    // 4. length 4, 8 or 16.
    virtual uint32_t GetChallenge(uint8_t* out, uint32_t length, uint32_t reserved);
    // 5. The callback's cryptogram of a fresh challenge of challengeLength
    // bytes; its own failure comes back unchanged.
    virtual uint32_t ExternalAuth(uint32_t keyReference, uint32_t challengeLength,
                                  QAV_CryptogramCallback cryptogram, uint32_t* triesLeft,
                                  uintptr_t user1, uintptr_t user2);
    // 6. The card's 16-byte answer to 16 bytes of data.
    virtual uint32_t InternalAuth(int32_t keyReference, const uint8_t* data, int32_t dataLength,
                                  uint8_t* out, uint32_t* outLength, uint32_t reserved);
    // 7. Unblocks the PIN with a new one, secured by a MAC over a fresh
    // challenge; mode 1 also encrypts the PIN block through encrypt.
    virtual uint32_t ReloadPIN(uint32_t mode, uint32_t challengeLength, QAV_EncryptCallback encrypt,
                               QAV_MacCallback mac, const char* newPin, uint32_t newPinLength,
                               uint32_t* triesLeft, uintptr_t user1, uintptr_t user2);
    // 8 to 21: the shared key commands of CCardKeyCommands, but for these two.
    // 10. Pieces of 208 bytes; keyIndex 6 names the card's fixed key.
    uint32_t SessionKeyCipher(uint32_t direction, uint32_t keyIndex, uint32_t withIv,
                              const uint8_t* iv, uint32_t ivLength, const uint8_t* input,
                              uint32_t inputLength, uint8_t* output, uint32_t* outputLength,
                              uint32_t reserved) override;
    // 20. keyKind 0 or 1 and keyPart (kind 1 only) name the key in fid; a
    // null firstAnswer stops after the first step with its size.
    uint32_t ExportPublicKey(uint32_t keyKind, int32_t fid, uint32_t algorithm, uint32_t ignored1,
                             uint32_t ignored2, uint32_t keyPart, uint8_t* publicKey,
                             uint32_t* publicKeyLength, uint8_t* firstAnswer,
                             uint32_t* firstAnswerLength, uint32_t reserved) override;
    // 22 and 23: kept free; always QAV_E_NOT_SUPPORTED.
    virtual uint32_t ReservedOperation(uint32_t a, uint32_t b, uint32_t c, uint32_t d);
    virtual uint32_t ReservedOperation23(uint32_t a, uint32_t b, uint32_t c, uint32_t d);
    // 24. Loads seal data; digest gets the card's 32-byte digest of it.
    virtual uint32_t SealWrite(const uint8_t* data, uint32_t dataLength, uint8_t* digest,
                               uint32_t* digestLength, uint32_t reserved);
    // 25. mode 1 signs hash with keyFid into signature; mode 0 (watermarked,
    // also signed) and mode 2 (plain) tell in location and *outLength which
    // file holds pictureRef's picture and how long it is.
    virtual uint32_t SealSign(int32_t keyFid, int32_t pictureRef, uint32_t mode,
                              const uint8_t* hash, uint32_t hashLength, const char* text,
                              uint8_t* signature, uint32_t* outLength, uint32_t* location,
                              uint32_t reserved);
    // 26. flags bit 0: only ask for the tries left. Digits only.
    virtual uint32_t VerifyPIN(uint32_t pinReference, const char* pin, uint32_t pinLength,
                               uint32_t* triesLeft, uint32_t flags);
    // 27. flags bit 0: only ask for the tries left. Hexadecimal digits pass.
    virtual uint32_t ChangePIN(uint32_t pinReference, const char* oldPin, uint32_t oldPinLength,
                               const char* newPin, uint32_t newPinLength, uint32_t* triesLeft,
                               uint32_t flags);
    // 28. No key: nothing to deliver, 0.
    virtual uint32_t DeliveryKey(uint32_t keyType, uint32_t keyReference, const uint8_t* key,
                                 uint32_t keyLength, uint32_t reserved);
    // 29. direction 1 encrypts, 0 decrypts; operation 1 MACs (4 bytes) with
    // the key carried in the command (keyMode 1). Pieces of 224 bytes.
    virtual uint32_t CipherData(uint32_t algorithm, uint32_t direction, uint32_t operation,
                                const uint8_t* iv, uint32_t ivLength, const uint8_t* key,
                                uint32_t keyLength, uint32_t keyMode, const uint8_t* data,
                                uint32_t dataLength, uint8_t* out, uint32_t* outLength,
                                uint32_t reserved);
    // 30. A 16-byte token for the key keyType/keyReference.
    virtual uint32_t GenerateToken1(uint32_t keyType, uint32_t keyReference, uint8_t* out,
                                    uint32_t* outLength, uint32_t reserved);
    // 31. Derives a session key from the token (and the 32 bytes of data when
    // given); the card's refusal in its answer is 0xE0170010.
    virtual uint32_t GenerateSK(uint32_t keyType, uint32_t keyReference, const uint8_t* data,
                                uint32_t dataLength, uint32_t reserved);
    // 32. Clears the card's security state; the connection stays.
    virtual uint32_t Reset(uint32_t reserved);
    // 33. Application authentication key keyIndex (0 to 14), 16 bytes.
    virtual uint32_t ExportAppAuthKey(uint32_t keyIndex, uint8_t* out, uint32_t* outLength,
                                      uint32_t reserved);

protected:
    uint8_t RsaCalcP1Base() const noexcept override { return 0xC0; }
    bool LoadsSm2KeyWithoutMac() const noexcept override { return true; }

private:
    // Sends a PIN command (header, then data as Lc and body) and maps its
    // status through the PIN table.
    uint32_t SendPinCommand(ApduHeader header, const uint8_t* data, uint32_t dataLength,
                            uint32_t* triesLeft, bool verify);
};

}  // namespace qav
