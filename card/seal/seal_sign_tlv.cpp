#include "card/seal/seal_sign_tlv.h"

#include <algorithm>
#include <array>

#include "qavseal/qavseal.h"

namespace qav {

namespace {

constexpr uint8_t kTagKeyFile = 0xC0;
constexpr uint8_t kTagPicture = 0xC1;  // the picture going out, the signature coming back
constexpr uint8_t kTagHash = 0xC3;
constexpr uint8_t kTagText = 0xC7;
constexpr uint8_t kTagLocationFile = 0xCA;
constexpr uint8_t kTagLocationSize = 0xCB;
constexpr uint32_t kFileIdLength = 2;
constexpr uint32_t kMaxSizeLength = 4;  // the size lands in 32 bits

uint32_t AddElement(CTlvList* list, uint8_t tag, const uint8_t* value, uint32_t length) {
    const TlvElement element(tag, value, length);
    return list->Add(&element);
}

uint32_t AddFileId(CTlvList* list, uint8_t tag, uint16_t id) {
    const std::array<uint8_t, kFileIdLength> bytes = {static_cast<uint8_t>(id >> 8),
                                                      static_cast<uint8_t>(id)};
    return AddElement(list, tag, bytes.data(), kFileIdLength);
}

uint32_t BigEndianValue(const TlvElement& element) noexcept {
    uint32_t value = 0;
    for (uint32_t i = 0; i < element.ValueLength(); ++i) {
        value = (value << 8) | element.Value()[i];
    }
    return value;
}

// A malformed tail makes the whole answer suspect, not just the tail.
bool ParseWhole(const uint8_t* answer, uint32_t length, CTlvList* list) {
    if (answer == nullptr) return false;
    return list->Parse(answer, length) == QAV_OK;
}

}  // namespace

uint32_t EncodeSealSignRequest(const SealSignRequest& request, CTlvList* list) {
    if (list == nullptr) return QAV_E_NULL_POINTER;
    const bool signs = request.mode != SealSignMode::kPictureLookup;
    const bool showsPicture = request.mode != SealSignMode::kSignature;
    if (signs && request.hash == nullptr) return QAV_E_NULL_POINTER;
    if (signs && request.text != nullptr && request.textLength > kMaxSealTextLength) {
        return QAV_E_BAD_LENGTH;
    }

    uint32_t rc = QAV_OK;
    if (signs) rc = AddFileId(list, kTagKeyFile, request.keyFid);
    if (rc == QAV_OK && showsPicture) rc = AddFileId(list, kTagPicture, request.pictureRef);
    if (rc == QAV_OK && signs) rc = AddElement(list, kTagHash, request.hash, kSealHashLength);
    if (rc == QAV_OK && signs && request.text != nullptr) {
        rc = AddElement(list, kTagText, reinterpret_cast<const uint8_t*>(request.text),
                        request.textLength);
    }
    return rc;
}

uint32_t ParseSealSignature(const uint8_t* answer, uint32_t length, uint8_t* signature) {
    if (signature == nullptr) return QAV_E_NULL_POINTER;
    CTlvList list;
    if (!ParseWhole(answer, length, &list)) return QAV_E_UNEXPECTED_DATA;
    const TlvElement* first = list.Get(0);
    if (first == nullptr || first->Tag() != kTagPicture ||
        first->ValueLength() != kSealSignatureLength) {
        return QAV_E_UNEXPECTED_DATA;
    }
    std::copy_n(first->Value(), kSealSignatureLength, signature);
    return QAV_OK;
}

uint32_t ParseSealLocation(const uint8_t* answer, uint32_t length, SealPictureLocation* location) {
    if (location == nullptr) return QAV_E_NULL_POINTER;
    CTlvList list;
    if (!ParseWhole(answer, length, &list)) return QAV_E_UNEXPECTED_DATA;
    const TlvElement* file = list.Get(0);
    const TlvElement* size = list.Get(1);
    if (file == nullptr || file->Tag() != kTagLocationFile ||
        file->ValueLength() != kFileIdLength) {
        return QAV_E_UNEXPECTED_DATA;
    }
    if (size == nullptr || size->Tag() != kTagLocationSize || size->ValueLength() == 0 ||
        size->ValueLength() > kMaxSizeLength) {
        return QAV_E_UNEXPECTED_DATA;
    }
    location->fileId = BigEndianValue(*file);
    location->size = BigEndianValue(*size);
    return QAV_OK;
}

}  // namespace qav
