// Seal data, seal signatures and the seal pictures.
#include <algorithm>
#include <array>

#include "api/card_export.h"
#include "card/common/binary_transfer.h"

using qav::CCardSeal;
using qav::CDevice;
using qav::ContainerRecord;
using qav::api::kNoProbe;
using qav::api::kProbe;
using qav::api::RunCardExport;

namespace {

constexpr uint32_t kSealDigestSize = 32;
// SealSign's modes: the watermarked picture, the signature, the picture.
constexpr uint32_t kWatermarkedPicture = 0;
constexpr uint32_t kSignature = 1;
constexpr uint32_t kPlainPicture = 2;

// The card reports where the picture lies and how long it is; the picture
// is then read from there into out (out null: the size alone, kept in
// *outLength by the length query).
uint32_t ReadPicture(const CDevice& device, CCardSeal& card, int32_t keyFid, uint32_t pictureRef,
                     uint32_t mode, const uint8_t* hash, uint32_t hashLength, const char* text,
                     uint8_t* out, uint32_t* outLength) {
    const uint32_t capacity = *outLength;
    uint32_t location = 0;
    if (const uint32_t rc = card.SealSign(keyFid, static_cast<int32_t>(pictureRef), mode, hash,
                                          hashLength, text, nullptr, outLength, &location, 0)) {
        return rc;
    }
    // A file holds at most 64 KiB: a longer picture is the card's error, not
    // a length the caller could have got wrong.
    if (!qav::FitsFilePositions(0, *outLength)) return QAV_E_UNEXPECTED_DATA;
    if (out != nullptr && capacity < *outLength) return QAV_E_BUFFER_TOO_SMALL;
    return qav::ReadCardFile(device, location, 0, out, outLength, nullptr, 0, 0);
}

// The checks both hash-taking exports make, in their order, before the
// container is looked up on the card.
uint32_t CheckHashAndLength(const uint8_t* hash, uint32_t hashLength, const uint32_t* length) {
    if (hash == nullptr) return QAV_E_NULL_POINTER;
    if (hashLength != kSealDigestSize) return QAV_E_BAD_LENGTH;
    return length == nullptr || *length == 0 ? QAV_E_NULL_POINTER : QAV_OK;
}

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_SealWrite(QAV_HANDLE handle, const uint8_t* data,
                                                     uint32_t dataLength, const uint8_t* expected,
                                                     uint32_t expectedLength,
                                                     uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (data == nullptr || expected == nullptr) return QAV_E_NULL_POINTER;
        return dataLength == 0 || expectedLength == 0 ? QAV_E_BAD_LENGTH : QAV_OK;
    };
    return RunCardExport(handle, checks, kNoProbe, [&](CDevice&, CCardSeal& card) {
        std::array<uint8_t, kSealDigestSize> digest{};
        uint32_t digestLength = kSealDigestSize;
        if (const uint32_t rc = card.SealWrite(data, dataLength, digest.data(), &digestLength, 0)) {
            return rc;
        }
        // The data stays written when its digest is not the expected one.
        const bool same = expectedLength == digestLength && digestLength <= digest.size() &&
                          std::equal(expected, expected + expectedLength, digest.begin());
        return same ? QAV_OK : QAV_E_UNEXPECTED_DATA;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_SealSign(QAV_HANDLE handle, const char* containerName,
                                                    const uint8_t* hash, uint32_t hashLength,
                                                    const char* text, uint8_t* signature,
                                                    uint32_t* signatureLength,
                                                    uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (containerName == nullptr) return QAV_E_NULL_POINTER;
        return CheckHashAndLength(hash, hashLength, signatureLength);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        return card.SealSign(container.PrivateKeyFid(), 0, kSignature, hash, hashLength, text,
                             signature, signatureLength, nullptr, 0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetSealPic(QAV_HANDLE handle, uint32_t pictureRef,
                                                      uint8_t* out, uint32_t* outLength,
                                                      uint32_t /*reserved*/) {
    const auto checks = [&] { return outLength == nullptr ? QAV_E_NULL_POINTER : QAV_OK; };
    return RunCardExport(handle, checks, kNoProbe, [&](CDevice& device, CCardSeal& card) {
        return ReadPicture(device, card, 0, pictureRef, kPlainPicture, nullptr, 0, nullptr, out,
                           outLength);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API
QAV_GetSealWaterMarkPic(QAV_HANDLE handle, const char* containerName, uint32_t pictureRef,
                        const uint8_t* hash, uint32_t hashLength, const char* text, uint8_t* out,
                        uint32_t* outLength, uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (containerName == nullptr) return QAV_E_NULL_POINTER;
        return CheckHashAndLength(hash, hashLength, outLength);
    };
    return RunCardExport(handle, checks, kProbe, [&](CDevice& device, CCardSeal& card) {
        ContainerRecord container;
        if (const uint32_t rc = qav::FindContainer(device, containerName, &container, nullptr)) {
            return rc;
        }
        return ReadPicture(device, card, container.PrivateKeyFid(), pictureRef, kWatermarkedPicture,
                           hash, hashLength, text, out, outLength);
    });
}
