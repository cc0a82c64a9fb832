// Public-key export and the card's check of certificate data.
#include <vector>

#include "card/common/card_key_commands.h"
#include "card/common/key_command_support.h"

namespace qav {

namespace {

constexpr uint8_t kExportPublicKey = 0xC9;
constexpr uint8_t kVerifyCertData = 0xC8;
constexpr uint32_t kCertPieceSize = 250;
constexpr uint32_t kMaxCertData = 0xFFFF;
constexpr uint8_t kSm2Bit = 0x80;
constexpr uint8_t kSecondStepBit = 0x80;
constexpr uint8_t kSm2KeyAnswer = 0x42;
constexpr uint8_t kRsaKeyAnswerRetry = 0x89;
constexpr uint8_t kCertDataBit = 0x80;
constexpr PieceCodes kCertPieceCodes = {0x00, 0x00, 0x40, 0x80};

struct ExportRequest {
    uint32_t mode;
    uint32_t publicFile;
    bool sm2;
    uint32_t privateFile;
    uint32_t selector;
    uint32_t flag;
};

ApduHeader ExportHeader(const ExportRequest& r) noexcept {
    uint8_t p1 = r.sm2 ? kSm2Bit : 0x00;
    uint8_t p2 = 0x00;
    if (r.mode == 1) p1 |= 0x20;
    if (r.mode == 2) {
        p1 |= 0x40;
        p2 = static_cast<uint8_t>(r.flag);
    } else {
        p1 = static_cast<uint8_t>(p1 + (r.selector & 0x0F));
        if (r.selector < 2) p2 = 0x01;
    }
    return {kKeyCommandClass, kExportPublicKey, p1, p2};
}

}  // namespace

uint32_t CCardKeyCommands::ExportPublicKey(uint32_t mode, int32_t publicFile, uint32_t keyType,
                                           uint32_t privateFile, uint32_t selector, uint32_t flag,
                                           uint8_t* keyOut, uint32_t* keyOutLength,
                                           uint8_t* blockOut, uint32_t* blockOutLength, uint32_t) {
    // A negative identifier is as far out of range as one above FFFF.
    const auto publicId = static_cast<uint32_t>(publicFile);
    if (mode > 2) return QAV_E_BAD_SELECTOR;
    if (publicId > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (keyType > 1) return QAV_E_BAD_ALGORITHM;
    if (privateFile > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (selector > 2 || flag > 1) return QAV_E_BAD_ALGORITHM;
    if (keyOutLength == nullptr || blockOutLength == nullptr) return QAV_E_NULL_POINTER;

    const ExportRequest request{mode, publicId, keyType == 1, privateFile, selector, flag};
    const ApduHeader first = ExportHeader(request);
    ApduHeader second = first;
    second.p2 |= kSecondStepBit;
    KeyCommandData names;
    names.AddFile(tag::kPublicFile, publicId);
    names.AddFile(tag::kPrivateFile, privateFile);

    // Step 1 names the key and answers its block in C1; step 2 answers the
    // key. A failed send starts both over once; other failures end it.
    uint32_t sendRc = QAV_OK;
    for (const bool retry : {false, true}) {
        CApdu step1 = CApdu::WithDataExpecting(Format(), first, names.Data(), names.Length(), 0);
        if ((sendRc = SendApdu(&step1)) != QAV_OK) continue;
        std::vector<uint8_t> block;
        if (const uint32_t rc =
                ParseSingleElement(step1.Response(), step1.ResponseLength(), tag::kBlock, &block)) {
            return rc;
        }
        if (const uint32_t rc = HandOut(block.data(), static_cast<uint32_t>(block.size()), blockOut,
                                        blockOutLength)) {
            return rc;
        }
        if (blockOut == nullptr) return QAV_OK;

        const uint32_t le = request.sm2 ? kSm2KeyAnswer : (retry ? kRsaKeyAnswerRetry : 0);
        CApdu step2 = CApdu::Expecting(Format(), second, le);
        if ((sendRc = SendApdu(&step2)) != QAV_OK) continue;
        std::vector<uint8_t> key;
        const uint32_t rc =
            request.sm2
                ? ParseSingleElement(step2.Response(), step2.ResponseLength(), kAnyTag, &key)
                : ParseRsaPublicKey(step2.Response(), step2.ResponseLength(), &key);
        if (rc != QAV_OK) return rc;
        return HandOut(key.data(), static_cast<uint32_t>(key.size()), keyOut, keyOutLength);
    }
    return sendRc;
}

uint32_t CCardKeyCommands::VerifyCertData(uint32_t fileCD, uint32_t fileCE, uint32_t fileCC,
                                          uint32_t variant, uint32_t fileF1, uint32_t fileF2,
                                          uint32_t fileF3, uint32_t option, const uint8_t* data,
                                          uint32_t dataLength, uint32_t) {
    if (fileCD > kMaxFileId || fileCE > kMaxFileId || fileCC > kMaxFileId) {
        return QAV_E_ID_TOO_LARGE;
    }
    if (variant > 1) return QAV_E_BAD_ALGORITHM;
    if (fileF1 > kMaxFileId || fileF2 > kMaxFileId || fileF3 > kMaxFileId) {
        return QAV_E_ID_TOO_LARGE;
    }
    if (option > 1) return QAV_E_BAD_ALGORITHM;
    if (data == nullptr) return QAV_E_NULL_POINTER;
    if (dataLength == 0 || dataLength > kMaxCertData) return QAV_E_BAD_LENGTH;

    KeyCommandData files;
    files.AddFile(0xCC, fileCC);
    files.AddFile(0xCD, fileCD);
    files.AddFile(0xCE, fileCE);
    const uint8_t three[6] = {static_cast<uint8_t>(fileF1 >> 8), static_cast<uint8_t>(fileF1),
                              static_cast<uint8_t>(fileF2 >> 8), static_cast<uint8_t>(fileF2),
                              static_cast<uint8_t>(fileF3 >> 8), static_cast<uint8_t>(fileF3)};
    files.Add(0xCF, sizeof three, three);
    KeyCommandData certificate;
    certificate.Add(tag::kBlock, 0x820000u | dataLength, data);

    const uint8_t p2Base = option == 0 ? 0x01 : 0x00;
    for (const KeyCommandData* pass : {&files, &certificate}) {
        uint8_t p1 = static_cast<uint8_t>(variant & 0x0F);
        if (pass == &certificate) p1 |= kCertDataBit;
        const auto header = [&](ChunkPosition position) {
            return ApduHeader{kKeyCommandClass, kVerifyCertData, p1,
                              static_cast<uint8_t>(p2Base | PieceCode(kCertPieceCodes, position))};
        };
        if (const uint32_t rc = SendInPieces(*this, pass->Data(), pass->Length(), kCertPieceSize,
                                             header, PieceAnswer::kNone, nullptr)) {
            return rc;
        }
    }
    return QAV_OK;
}

}  // namespace qav
