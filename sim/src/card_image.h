// Everything a seal key keeps across power cycles: files with their access
// rules, the PIN and its counter, the card's own keys. Saved as JSON.
#pragma once

#include <map>
#include <string>

#include "bytes.h"

namespace vcard {

enum class Access {
  Always,    // no condition
  Pin,       // the user PIN verified since the last reset or application selection
  External,  // an external authentication done since then
  Secure,    // only through secure messaging (CLA 04, MAC checked)
  Never,
};

struct CardFile {
  Bytes data;
  Access read = Access::Always;
  Access write = Access::Pin;
};

enum class Folder { Mf, Seal };

struct CardImage {
  Bytes atr;
  uint8_t ability = 2;  // element 97 of the application's control information

  std::string pin;  // digits (or hex letters after a CHANGE)
  uint8_t pinMaxTries = 6;
  uint8_t pinTriesLeft = 6;

  Bytes macKey;     // SM4: MACs of secured commands
  Bytes encKey;     // SM4: cryptograms of secured commands
  Bytes cipherKey;  // SM4: the card key of the cipher command, and session key 6
  std::map<uint8_t, Bytes> externalKeys;  // key reference -> SM4 key
  std::map<uint8_t, uint8_t> externalTries;
  std::map<uint8_t, Bytes> internalKeys;
  std::map<uint8_t, Bytes> appAuthKeys;        // index 0..14
  std::map<uint16_t, Bytes> deliveredKeys;     // (type << 8 | reference) -> key

  std::map<uint16_t, CardFile> mfFiles;
  std::map<uint16_t, CardFile> sealFiles;
  std::map<uint16_t, uint16_t> pictures;  // seal picture identifier -> file

  Bytes track2;  // value of tag 57 in the payment record
  std::vector<Bytes> paymentAids;

  std::map<uint16_t, CardFile>& Files(Folder folder) { return folder == Folder::Mf ? mfFiles : sealFiles; }
};

std::string ImageToJson(const CardImage& image);
CardImage ImageFromJson(const std::string& json);  // throws std::runtime_error

// The default personalised key (fresh keys on every call).
CardImage DefaultImage();

// Known file identifiers of the seal application.
namespace fid {
constexpr uint16_t kMf = 0x3F00;
constexpr uint16_t kContainerCount = 0x3001;
constexpr uint16_t kContainers = 0x0FFF;
constexpr uint16_t kPinMarker = 0x1011;
constexpr uint16_t kStateA0F3 = 0xA0F3;
constexpr uint16_t kAbility = 0x4000;
constexpr uint16_t kSealData = 0x5001;
constexpr uint16_t kWatermark = 0x51FF;
}  // namespace fid

}  // namespace vcard
