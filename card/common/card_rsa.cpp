// RSA on the card: key pairs, and the public- and private-key operations.
#include <vector>

#include "card/common/card_key_commands.h"
#include "card/common/key_command_support.h"
#include "platform/secure_memory.h"

namespace qav {

struct RsaCalc {
    uint8_t ins;
    uint8_t fileTag;
    uint32_t pieceSize;
};

namespace {

constexpr uint8_t kGenRsaKeyPair = 0x42;
constexpr uint8_t kRsaPublicCalc = 0x46;
constexpr uint8_t kRsaPrivateCalc = 0x48;
constexpr uint32_t kPublicCalcPieceSize = 249;
constexpr uint32_t kPrivateCalcPieceSize = 250;
constexpr uint32_t kExponentLength = 4;
constexpr PieceCodes kCalcPieceCodes = {0x00, 0x01, 0x02, 0x03};

constexpr RsaCalc kPublicCalc = {kRsaPublicCalc, tag::kPublicFile, kPublicCalcPieceSize};
constexpr RsaCalc kPrivateCalc = {kRsaPrivateCalc, tag::kPrivateFile, kPrivateCalcPieceSize};

uint32_t CheckCalc(const RsaSize* size, uint32_t file, const uint8_t* input, uint32_t inputLength,
                   const uint32_t* outLength) noexcept {
    if (size == nullptr) return QAV_E_BAD_LENGTH;
    if (file > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (input == nullptr || outLength == nullptr) return QAV_E_NULL_POINTER;
    if (inputLength != size->bits / 8) return QAV_E_BAD_LENGTH;
    return QAV_OK;
}

}  // namespace

uint32_t CCardKeyCommands::GenRSAKeyPair(uint32_t bits, uint32_t privateFile, uint32_t publicFile,
                                         uint8_t* out, uint32_t* outLength, uint32_t) {
    const RsaSize* size = FindRsaSize(bits);
    if (size == nullptr) return QAV_E_BAD_LENGTH;
    if (privateFile > kMaxFileId || publicFile > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    const uint32_t keyLength = bits / 8 + kExponentLength;
    if (const auto stop = KeyPairOutputDecides(publicFile, out, outLength, keyLength)) return *stop;

    std::vector<uint8_t> answer;
    if (const uint32_t rc =
            SendKeyPairGeneration(*this, {kKeyCommandClass, kGenRsaKeyPair, size->code, 0x00},
                                  publicFile, privateFile, &answer)) {
        return rc;
    }
    if (publicFile != 0) return QAV_OK;
    std::vector<uint8_t> key;
    if (const uint32_t rc =
            ParseRsaPublicKey(answer.data(), static_cast<uint32_t>(answer.size()), &key)) {
        return rc;
    }
    if (key.size() != keyLength) return QAV_E_UNEXPECTED_DATA;
    return HandOut(key.data(), keyLength, out, outLength);
}

uint32_t CCardKeyCommands::RSAPublicKeyCalc(uint32_t bits, uint32_t publicFile,
                                            const uint8_t* input, uint32_t inputLength,
                                            uint8_t* out, uint32_t* outLength, uint32_t) {
    return RsaKeyCalc(kPublicCalc, bits, publicFile, input, inputLength, out, outLength);
}

uint32_t CCardKeyCommands::RSAPrivateKeyCalc(uint32_t bits, uint32_t privateFile,
                                             const uint8_t* input, uint32_t inputLength,
                                             uint8_t* out, uint32_t* outLength, uint32_t) {
    return RsaKeyCalc(kPrivateCalc, bits, privateFile, input, inputLength, out, outLength);
}

uint32_t CCardKeyCommands::RsaKeyCalc(const RsaCalc& calc, uint32_t bits, uint32_t file,
                                      const uint8_t* input, uint32_t inputLength, uint8_t* out,
                                      uint32_t* outLength) {
    const RsaSize* size = FindRsaSize(bits);
    if (const uint32_t rc = CheckCalc(size, file, input, inputLength, outLength)) return rc;
    const uint32_t resultLength = bits / 8;
    if (const auto stop = SizeQueryOrTooSmall(out, outLength, resultLength)) return *stop;

    KeyCommandData data;
    data.AddFile(calc.fileTag, file);
    data.Add(tag::kBlock, size->modulusLengthWord, input);
    const uint8_t base = RsaCalcP1Base();
    const auto header = [&](ChunkPosition position) {
        return ApduHeader{kKeyCommandClass, calc.ins,
                          static_cast<uint8_t>(base + PieceCode(kCalcPieceCodes, position)),
                          size->code};
    };
    std::vector<uint8_t> result;
    const platform::WipeOnExit wipeResult(result);  // a private-key result may be a plaintext
    if (const uint32_t rc = SendInPieces(*this, data.Data(), data.Length(), calc.pieceSize, header,
                                         PieceAnswer::kLastPiece, &result)) {
        return rc;
    }
    if (result.size() != resultLength) return QAV_E_UNEXPECTED_DATA;
    return HandOut(result.data(), resultLength, out, outLength);
}

}  // namespace qav
