// Seal pictures as PNG images, drawn with cairo.
#pragma once

#include <string>

#include "bytes.h"

namespace vcard {

// A round red seal: double ring, a star and the owner's name.
Bytes DrawSealPng(const std::string& owner, int size);
// The picture with the signature material written across it, as the card
// answers a watermark request. Throws std::runtime_error on a bad PNG.
Bytes WatermarkPng(const Bytes& png, const std::string& text, const Bytes& hash);

}  // namespace vcard
