// The TLV data of the seal-signing command: the request the host builds and
// the two answer forms the card gives back (untrusted, checked here).
#pragma once

#include <cstdint>

#include "reader/tlv.h"

namespace qav {

enum class SealSignMode : uint32_t {
    kWatermarkPicture = 0,
    kSignature = 1,
    kPictureLookup = 2,
};

inline constexpr uint32_t kSealHashLength = 32;
inline constexpr uint32_t kSealSignatureLength = 64;
inline constexpr uint32_t kMaxSealTextLength = 64;

struct SealSignRequest {
    SealSignMode mode = SealSignMode::kSignature;
    uint16_t keyFid = 0;
    uint16_t pictureRef = 0;
    const uint8_t* hash = nullptr;  // kSealHashLength bytes; modes 0 and 1
    const char* text = nullptr;     // optional; modes 0 and 1
    uint32_t textLength = 0;        // at most kMaxSealTextLength
};

// Key C0, picture C1, hash C3 and text C7, each where the mode takes it, in
// that order.
uint32_t EncodeSealSignRequest(const SealSignRequest& request, CTlvList* list);

struct SealPictureLocation {
    uint32_t fileId = 0;
    uint32_t size = 0;
};

// Both answer forms must parse whole as TLV; elements after the ones read
// are ignored. Any other shape is 0xE0170032 and leaves the outputs alone.
// Signature: a first element C1 of exactly 64 bytes, copied to signature.
uint32_t ParseSealSignature(const uint8_t* answer, uint32_t length, uint8_t* signature);
// Picture: CA holding a 2-byte file identifier, then CB holding the file's
// size in 1 to 4 bytes, both high byte first.
uint32_t ParseSealLocation(const uint8_t* answer, uint32_t length, SealPictureLocation* location);

}  // namespace qav
