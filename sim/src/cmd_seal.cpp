// Seal data loading, seal signing and seal pictures.
#include "card_engine.h"
#include "seal_picture.h"
#include "tlv.h"

namespace vcard {
namespace {

Bytes Be32(size_t value) {
  return Bytes{static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
               static_cast<uint8_t>(value)};
}

Bytes Location(uint16_t file, size_t size) {
  Bytes out;
  Bytes id;
  PutBe16(id, file);
  AppendTlv(out, 0xCA, id);
  AppendTlv(out, 0xCB, Be32(size));
  return out;
}

}  // namespace

Answer CardEngine::SealWrite(const Apdu& apdu) {
  if (!pinVerified_) return Status(sw::kSecurity);
  const size_t position = static_cast<size_t>(apdu.p1) << 8 | apdu.p2;
  if (apdu.data.empty()) {
    if (position != 0) return Status(sw::kWrongP1P2);
    if (sealData_.empty()) return Status(sw::kConditions);
    WriteSealFile(fid::kSealData, sealData_, Access::Pin, Access::Never);
    const Bytes digest = Hash(Digest::Sm3, sealData_);
    sealData_.clear();
    return Ok(digest);
  }
  if (position == 0) sealData_.clear();
  if (position != sealData_.size()) return Status(sw::kWrongP1P2);
  sealData_.insert(sealData_.end(), apdu.data.begin(), apdu.data.end());
  return Ok();
}

Answer CardEngine::SealSign(const Apdu& apdu) {
  if (apdu.p1 != 0x00 || apdu.p2 > 2) return Status(sw::kWrongP1P2);
  const auto elements = ParseTlv(apdu.data);
  if (!elements) return Status(sw::kWrongData);
  const Tlv* picture = FindTlv(*elements, 0xC1);
  const uint8_t mode = apdu.p2;
  std::optional<uint16_t> pictureFile;
  if (mode != 1) {
    if (picture == nullptr || picture->value.size() != 2) return Status(sw::kWrongData);
    const auto it = image_.pictures.find(Be16(picture->value.data()));
    if (it == image_.pictures.end() || SealFile(it->second) == nullptr) return Status(sw::kRefNotFound);
    pictureFile = it->second;
  }
  if (mode == 2) return Ok(Location(*pictureFile, SealFile(*pictureFile)->data.size()));

  const Tlv* key = FindTlv(*elements, 0xC0);
  const Tlv* hash = FindTlv(*elements, 0xC3);
  const Tlv* text = FindTlv(*elements, 0xC7);
  if (key == nullptr || key->value.size() != 2 || hash == nullptr || hash->value.size() != 32) {
    return Status(sw::kWrongData);
  }
  if (text != nullptr && text->value.size() > 64) return Status(sw::kWrongData);
  if (!pinVerified_) return Status(sw::kSecurity);
  const CardFile* keyFile = SealFile(Be16(key->value.data()));
  if (keyFile == nullptr) return Status(sw::kNotFound);
  if (keyFile->data.size() != 32) return Status(sw::kConditions);  // not an SM2 private key
  const Bytes signature = Sm2Sign(keyFile->data, hash->value);
  if (mode == 1) {
    Bytes out;
    AppendTlv(out, 0xC1, signature);
    return Ok(out);
  }
  const std::string caption = text == nullptr ? std::string() : std::string(text->value.begin(), text->value.end());
  Bytes png = WatermarkPng(SealFile(*pictureFile)->data, caption, Concat(hash->value, signature));
  const size_t size = png.size();
  WriteSealFile(fid::kWatermark, std::move(png), Access::Always, Access::Never);
  return Ok(Location(fid::kWatermark, size));
}

}  // namespace vcard
