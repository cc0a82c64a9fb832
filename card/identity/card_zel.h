// The Zel identity card. Its operations are virtual and declared in its own
// table order (24 positions; the shared key commands sit at 10 to 23, two
// later than on the seal card). It keeps no state of its own.
#pragma once

#include <cstdint>

#include "card/common/card_key_commands.h"
#include "qavseal/qavseal.h"

namespace qav {

class CCardZel : public CCardKeyCommands {
public:
    explicit CCardZel(CReader* reader) : CCardKeyCommands(reader) {}

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
    // 10 to 23: the shared key commands of CCardKeyCommands.

private:
    // Keyboard PIN commands: P2 = 00, and once more with P2 = 81 when the
    // card answers 6A86 (its other PIN reference form).
    uint32_t SendPinWithRetry(ApduHeader header, const uint8_t* data, uint32_t dataLength);
    // The PIN-pad form: F0 F2 00 p2 with Lc 00; the reader collects the PIN.
    uint32_t SendPinPad(uint8_t p2);
};

}  // namespace qav
