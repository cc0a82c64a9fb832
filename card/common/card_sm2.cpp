// SM2 on the card: key pairs, and the public- and private-key operations.
#include <vector>

#include "card/common/card_key_commands.h"
#include "card/common/key_command_support.h"

namespace qav {

// Operation 0 of each: verify with the public key, sign with the private one.
struct Sm2Calc {
    uint8_t ins;
    uint8_t fileTag;
    uint32_t firstOperationLength;
};

namespace {

constexpr uint8_t kGenSm2KeyPair = 0x40;
constexpr uint8_t kSm2PublicCalc = 0x4C;
constexpr uint8_t kSm2PrivateCalc = 0x4E;
constexpr uint32_t kSm2PublicKeyLength = 64;
constexpr uint32_t kVerifyInputLength = 96;  // digest and signature
constexpr uint32_t kSignInputLength = 32;    // digest
// Data of one short command: the file element, then C1 82 xx xx.
constexpr uint32_t kMaxCalcInput = 255 - 4 - 4;

constexpr Sm2Calc kPublicCalc = {kSm2PublicCalc, tag::kPublicFile, kVerifyInputLength};
constexpr Sm2Calc kPrivateCalc = {kSm2PrivateCalc, tag::kPrivateFile, kSignInputLength};

uint32_t CheckCalc(const Sm2Calc& calc, uint32_t operation, uint32_t file, const uint8_t* input,
                   uint32_t inputLength, const uint32_t* outLength) noexcept {
    if (operation > 1) return QAV_E_BAD_SELECTOR;
    if (file > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (input == nullptr) return QAV_E_NULL_POINTER;
    if (inputLength > 0xFFFF) return QAV_E_BAD_LENGTH;
    if (operation == 0 ? inputLength != calc.firstOperationLength
                       : (inputLength == 0 || inputLength > kMaxCalcInput)) {
        return QAV_E_BAD_LENGTH;
    }
    const bool verifies = calc.ins == kSm2PublicCalc && operation == 0;
    if (!verifies && outLength == nullptr) return QAV_E_NULL_POINTER;
    return QAV_OK;
}

}  // namespace

uint32_t CCardKeyCommands::GenSM2KeyPair(uint32_t variant, uint32_t privateFile,
                                         uint32_t publicFile, uint8_t* out, uint32_t* outLength,
                                         uint32_t) {
    if (variant > 1) return QAV_E_BAD_SELECTOR;
    if (privateFile > kMaxFileId || publicFile > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (const auto stop = KeyPairOutputDecides(publicFile, out, outLength, kSm2PublicKeyLength)) {
        return *stop;
    }

    std::vector<uint8_t> answer;
    const ApduHeader header{kKeyCommandClass, kGenSm2KeyPair, 0x00, static_cast<uint8_t>(variant)};
    if (const uint32_t rc =
            SendKeyPairGeneration(*this, header, publicFile, privateFile, &answer)) {
        return rc;
    }
    if (publicFile != 0) return QAV_OK;
    std::vector<uint8_t> key;
    if (const uint32_t rc = ParseSingleElement(answer.data(), static_cast<uint32_t>(answer.size()),
                                               tag::kSm2Public, &key)) {
        return rc;
    }
    if (key.size() != kSm2PublicKeyLength) return QAV_E_UNEXPECTED_DATA;
    return HandOut(key.data(), kSm2PublicKeyLength, out, outLength);
}

uint32_t CCardKeyCommands::SM2PublicKeyCalc(uint32_t operation, uint32_t publicFile,
                                            const uint8_t* input, uint32_t inputLength,
                                            uint8_t* out, uint32_t* outLength, uint32_t) {
    return Sm2KeyCalc(kPublicCalc, operation, publicFile, input, inputLength, out, outLength);
}

uint32_t CCardKeyCommands::SM2PrivateKeyCalc(uint32_t operation, uint32_t privateFile,
                                             const uint8_t* input, uint32_t inputLength,
                                             uint8_t* out, uint32_t* outLength, uint32_t) {
    return Sm2KeyCalc(kPrivateCalc, operation, privateFile, input, inputLength, out, outLength);
}

uint32_t CCardKeyCommands::Sm2KeyCalc(const Sm2Calc& calc, uint32_t operation, uint32_t file,
                                      const uint8_t* input, uint32_t inputLength, uint8_t* out,
                                      uint32_t* outLength) {
    if (const uint32_t rc = CheckCalc(calc, operation, file, input, inputLength, outLength)) {
        return rc;
    }

    KeyCommandData data;
    data.AddFile(calc.fileTag, file);
    // Always the three-byte form, whatever the length.
    data.Add(tag::kBlock, 0x820000u | inputLength, input);
    const ApduHeader header{kKeyCommandClass, calc.ins, 0x00, static_cast<uint8_t>(operation)};
    const bool verifies = calc.ins == kSm2PublicCalc && operation == 0;
    CApdu apdu = verifies
                     ? CApdu::WithData(Format(), header, data.Data(), data.Length())
                     : CApdu::WithDataExpecting(Format(), header, data.Data(), data.Length(), 0);
    if (const uint32_t rc = SendApdu(&apdu)) return rc;
    if (verifies) return QAV_OK;
    return HandOut(apdu.Response(), apdu.ResponseLength(), out, outLength);
}

}  // namespace qav
