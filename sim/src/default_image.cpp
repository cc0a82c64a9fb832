// The personalised key every test starts from (documented in sim/README.md).
#include <cstring>

#include "card_image.h"
#include "crypto.h"
#include "seal_picture.h"

namespace vcard {
namespace {

struct ContainerSpec {
  const char* name;
  uint8_t keyType;  // 1 RSA-1024, 2 RSA-2048, 0x20 RSA-1280, 4 SM2
  uint16_t cert, priv, pub;
};

constexpr ContainerSpec kContainers[] = {
    {"QAV-SM2-Seal", 0x04, 0x2001, 0x2101, 0x2201},
    {"QAV-RSA1024", 0x01, 0x2002, 0x2102, 0x2202},
    {"QAV-RSA2048", 0x02, 0x2003, 0x2103, 0x2203},
    {"QAV-SM2-Spare", 0x04, 0x2004, 0x2104, 0x2204},
};
constexpr size_t kContainerSlots = 8;

void PutLe16(Bytes& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value & 0xFF);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutBe16At(Bytes& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value & 0xFF);
}

Bytes ContainerRecord(const ContainerSpec& spec) {
  Bytes record(60, 0x00);
  std::memcpy(record.data(), spec.name, std::strlen(spec.name));
  record[40] = 0x01;
  record[41] = spec.keyType;
  PutLe16(record, 48, spec.cert);
  PutLe16(record, 50, spec.priv);
  PutLe16(record, 52, spec.pub);
  return record;
}

Bytes AbilityData(const CardImage& image) {
  Bytes data(64, 0x00);
  PutBe16At(data, 0, 0x0102);  // data version
  PutBe16At(data, 2, kContainerSlots);
  PutBe16At(data, 4, 0x0040);  // largest seal picture, KiB
  data[6] = 0x0F;              // key pairs: RSA-1024, RSA-2048, RSA-1280, SM2
  data[7] = 0x07;              // card hashes: SM3, SHA-1, SHA-256
  data[8] = 0x01;              // seal signing
  PutBe16At(data, 17, 2048);   // largest RSA key
  PutBe16At(data, 19, 256);    // SM2 key size
  PutBe16At(data, 21, 0x8000);  // largest file
  data[23] = image.pinMaxTries;
  PutBe16At(data, 24, 256);  // seal picture edge, pixels
  return data;
}

CardFile File(Bytes data, Access read, Access write) { return CardFile{std::move(data), read, write}; }

Bytes Repeated(uint8_t start) {
  Bytes key(16);
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(start + i);
  return key;
}

}  // namespace

CardImage DefaultImage() {
  CardImage image;
  image.ability = 2;
  image.pin = "12345678";
  image.pinMaxTries = 6;
  image.pinTriesLeft = 6;
  image.macKey = FromHex("11223344556677889900AABBCCDDEEFF");
  image.encKey = FromHex("0F1E2D3C4B5A69788796A5B4C3D2E1F0");
  image.cipherKey = FromHex("0123456789ABCDEFFEDCBA9876543210");
  image.externalKeys[1] = Repeated(0x40);
  image.externalTries[1] = 5;
  image.internalKeys[1] = Repeated(0x50);
  for (uint8_t i = 0; i < 15; ++i) image.appAuthKeys[i] = Repeated(static_cast<uint8_t>(0x60 + i * 0x10));

  auto& files = image.sealFiles;
  Bytes table(kContainerSlots * 60, 0x00);
  uint8_t count = 0;
  for (const ContainerSpec& spec : kContainers) {
    const Bytes record = ContainerRecord(spec);
    std::copy(record.begin(), record.end(), table.begin() + count * 60);
    ++count;
    const bool spare = std::strcmp(spec.name, "QAV-SM2-Spare") == 0;
    Bytes priv, pub, cert;
    if (!spare) {
      if (spec.keyType == 0x04) {
        const Sm2KeyPair pair = Sm2Generate();
        priv = pair.priv;
        pub = pair.pub;
      } else {
        priv = RsaGenerate(spec.keyType == 0x01 ? 1024 : 2048);
        pub = RsaPublicFromPrivate(priv);
      }
      cert = SelfSignedCertificate(priv, spec.keyType == 0x04, spec.name);
    }
    files[spec.cert] = File(cert, Access::Always, Access::Pin);
    files[spec.priv] = File(priv, Access::Never, Access::Secure);
    files[spec.pub] = File(pub, Access::Always, Access::Pin);
  }
  files[fid::kContainerCount] = File({count}, Access::Always, Access::Pin);
  files[fid::kContainers] = File(table, Access::Always, Access::Pin);
  files[fid::kPinMarker] = File(Bytes(1024, 0x00), Access::Always, Access::Pin);
  files[fid::kStateA0F3] = File(Bytes(4, 0x00), Access::Always, Access::Pin);
  files[fid::kAbility] = File(AbilityData(image), Access::Always, Access::Never);
  files[fid::kSealData] = File({}, Access::Pin, Access::Never);
  files[fid::kWatermark] = File({}, Access::Always, Access::Never);
  files[0x3101] = File(DrawSealPng("QAV Virtual Seal", 256), Access::Always, Access::Pin);
  files[0x3102] = File(DrawSealPng("QAV Test Dept.", 200), Access::Always, Access::Pin);
  image.pictures[0x0001] = 0x3101;
  image.pictures[0x0002] = 0x3102;
  image.mfFiles[0x2F02] = File(FromHex("5141560000000001"), Access::Always, Access::Never);

  image.track2 = FromHex("6225880012345678D2512201000000000F");
  image.paymentAids = {FromHex("A000000333010101"), FromHex("A000000333010102")};
  return image;
}

}  // namespace vcard
