// Seal data loading and seal signing on the seal card.
#include <algorithm>
#include <array>

#include "card/common/binary_transfer.h"
#include "card/seal/card_seal.h"
#include "card/seal/seal_sign_tlv.h"
#include "reader/chunk_cursor.h"

namespace qav {

namespace {

constexpr uint8_t kProprietaryClass = 0x80;
constexpr uint8_t kSealWrite = 0xCC;
constexpr uint8_t kSealSign = 0xCD;
constexpr uint32_t kSealDigestLength = 32;
constexpr int32_t kMaxId = 0xFFFF;

// Counts at most limit + 1 characters, so an unterminated or long text is
// never read further than needed to refuse it.
uint32_t BoundedTextLength(const char* text, uint32_t limit) noexcept {
    uint32_t length = 0;
    while (length <= limit && text[length] != '\0') ++length;
    return length;
}

bool IdFits(int32_t id) noexcept { return id >= 0 && id <= kMaxId; }

// The checks in their order; on success the request holds what the mode
// sends.
uint32_t CheckSealSign(int32_t keyFid, int32_t pictureRef, uint32_t mode, const uint8_t* hash,
                       uint32_t hashLength, const char* text, const uint32_t* outLength,
                       const uint32_t* location, SealSignRequest* request) {
    if (mode > static_cast<uint32_t>(SealSignMode::kPictureLookup)) return QAV_E_BAD_SELECTOR;
    const auto sealMode = static_cast<SealSignMode>(mode);
    const bool signs = sealMode != SealSignMode::kPictureLookup;
    const bool showsPicture = sealMode != SealSignMode::kSignature;
    uint32_t textLength = 0;
    if (signs) {
        if (hash == nullptr) return QAV_E_NULL_POINTER;
        if (hashLength != kSealHashLength) return QAV_E_BAD_LENGTH;
        if (text != nullptr) {
            textLength = BoundedTextLength(text, kMaxSealTextLength);
            if (textLength > kMaxSealTextLength) return QAV_E_BAD_LENGTH;
        }
    }
    if (outLength == nullptr || *outLength == 0) return QAV_E_NULL_POINTER;
    if (showsPicture && location == nullptr) return QAV_E_NULL_POINTER;
    // Identifiers travel in two bytes; a wider one would name another key
    // or picture without anyone noticing.
    if ((signs && !IdFits(keyFid)) || (showsPicture && !IdFits(pictureRef))) {
        return QAV_E_ID_TOO_LARGE;
    }

    request->mode = sealMode;
    request->keyFid = static_cast<uint16_t>(signs ? keyFid : 0);
    request->pictureRef = static_cast<uint16_t>(showsPicture ? pictureRef : 0);
    request->hash = signs ? hash : nullptr;
    request->text = signs ? text : nullptr;
    request->textLength = textLength;
    return QAV_OK;
}

// Mode 1. A buffer too small keeps the length the caller gave.
uint32_t HandOverSignature(const CApdu& apdu, uint8_t* signature, uint32_t* outLength) {
    std::array<uint8_t, kSealSignatureLength> answer{};
    if (const uint32_t rc =
            ParseSealSignature(apdu.Response(), apdu.ResponseLength(), answer.data())) {
        return rc;
    }
    if (signature != nullptr) {
        if (*outLength < kSealSignatureLength) return QAV_E_BUFFER_TOO_SMALL;
        std::copy(answer.begin(), answer.end(), signature);
    }
    *outLength = kSealSignatureLength;
    return QAV_OK;
}

// Modes 0 and 2: the picture's file and its size.
uint32_t HandOverLocation(const CApdu& apdu, uint32_t* outLength, uint32_t* location) {
    SealPictureLocation found;
    if (const uint32_t rc = ParseSealLocation(apdu.Response(), apdu.ResponseLength(), &found)) {
        return rc;
    }
    *location = found.fileId;
    *outLength = found.size;
    return QAV_OK;
}

}  // namespace

uint32_t CCardSeal::SealWrite(const uint8_t* data, uint32_t dataLength, uint8_t* digest,
                              uint32_t* digestLength, uint32_t) {
    if (data == nullptr) return QAV_E_NULL_POINTER;
    if (dataLength == 0 || !FitsFilePositions(0, dataLength)) return QAV_E_BAD_LENGTH;
    if (digestLength == nullptr) return QAV_E_NULL_POINTER;
    if (digest == nullptr) {
        *digestLength = kSealDigestLength;
        return QAV_OK;
    }
    if (*digestLength < kSealDigestLength) {
        *digestLength = kSealDigestLength;
        return QAV_E_BUFFER_TOO_SMALL;
    }

    CChunkCursor cursor(dataLength, kWritePieceSize);
    while (!cursor.IsDone()) {
        const uint32_t position = cursor.Offset();
        CApdu piece =
            CApdu::WithData(Format(),
                            {kProprietaryClass, kSealWrite, static_cast<uint8_t>(position >> 8),
                             static_cast<uint8_t>(position)},
                            data + position, cursor.CurrentLength());
        if (const uint32_t rc = SendApdu(&piece)) return rc;
        cursor.Advance();
    }

    // An empty piece at position 0 closes the data; the card answers its digest.
    // Its fifth byte, 00, reaches the card as Le: built as one, so that a
    // T=0 card's 6C20 is answered with Le 20 rather than the same command.
    CApdu close = CApdu::Expecting(Format(), {kProprietaryClass, kSealWrite, 0x00, 0x00}, 0);
    if (const uint32_t rc = SendApdu(&close)) return rc;
    if (close.ResponseLength() != kSealDigestLength) return QAV_E_UNEXPECTED_DATA;
    std::copy_n(close.Response(), kSealDigestLength, digest);
    *digestLength = kSealDigestLength;
    return QAV_OK;
}

uint32_t CCardSeal::SealSign(int32_t keyFid, int32_t pictureRef, uint32_t mode, const uint8_t* hash,
                             uint32_t hashLength, const char* text, uint8_t* signature,
                             uint32_t* outLength, uint32_t* location, uint32_t) {
    SealSignRequest request;
    if (const uint32_t rc = CheckSealSign(keyFid, pictureRef, mode, hash, hashLength, text,
                                          outLength, location, &request)) {
        return rc;
    }
    CTlvList elements;
    if (const uint32_t rc = EncodeSealSignRequest(request, &elements)) return rc;

    CApdu apdu =
        CApdu::WithData(Format(), {kProprietaryClass, kSealSign, 0x00, static_cast<uint8_t>(mode)},
                        elements.EncodingData(), elements.EncodingLength());
    if (const uint32_t rc = SendApdu(&apdu)) return rc;
    return request.mode == SealSignMode::kSignature ? HandOverSignature(apdu, signature, outLength)
                                                    : HandOverLocation(apdu, outLength, location);
}

}  // namespace qav
