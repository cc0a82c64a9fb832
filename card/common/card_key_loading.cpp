// Loading RSA and SM2 keys into card files, each command secured by the
// caller's MAC.
#include <vector>

#include "card/common/card_key_commands.h"
#include "card/common/key_command_support.h"

namespace qav {

namespace {

constexpr uint8_t kWriteRsaKey = 0xC6;
constexpr uint8_t kWriteSm2Key = 0xC2;
constexpr uint32_t kRsaKeyPieceSize = 246;
constexpr uint32_t kExponentLength = 4;
constexpr uint32_t kLastComponent = 6;
constexpr uint32_t kSm2PublicLength = 64;
constexpr uint32_t kSm2PrivateLength = 32;
// Its length goes out as one byte, 80 standing for 128.
constexpr uint32_t kMaxSm2Value = 128;
constexpr uint8_t kEncryptedBit = 0x80;
constexpr PieceCodes kRsaKeyPieceCodes = {0x00, 0x20, 0x40, 0x60};

// Components 0 (modulus) and 1 (exponent) are public; 2 to 6 private.
bool IsPublicComponent(uint32_t component) noexcept { return component < 2; }

uint8_t RsaKeySizeBits(const RsaSize& size) noexcept {
    switch (size.bits) {
        case 1280:
            return 0x01;
        case 2048:
            return 0x03;
        default:
            return 0x00;
    }
}

// The value element's length word for a component.
uint32_t ComponentLengthWord(const RsaSize& size, uint32_t component) noexcept {
    if (component == 0) return size.modulusLengthWord;
    if (component == 1) return kExponentLength;
    return LengthWordFor(size.bits / 16);
}

struct RsaKeyLoad {
    uint32_t bits;
    uint32_t encrypted;
    uint32_t component;
    uint32_t file;
    uint32_t keyIndex;
    uint32_t variant;
    const uint8_t* value;
    uint32_t valueLength;
};

uint32_t CheckRsaKeyLoad(const RsaKeyLoad& r, QAV_MacCallback mac) noexcept {
    if (r.encrypted > 1) return QAV_E_BAD_SELECTOR;
    const RsaSize* size = FindRsaSize(r.bits);
    if (size == nullptr) return QAV_E_BAD_LENGTH;
    if (r.component > kLastComponent) return QAV_E_BAD_SELECTOR;
    if (r.file > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (r.encrypted == 1 && r.keyIndex > kMaxKeyIndex) return QAV_E_KEY_INDEX;
    if (r.variant > 1 || r.value == nullptr) return QAV_E_NULL_POINTER;
    if (r.valueLength == 0) return QAV_E_BAD_LENGTH;
    if (r.valueLength != ValueLength(ComponentLengthWord(*size, r.component))) {
        return QAV_E_BAD_LENGTH;
    }
    if (mac == nullptr) return QAV_E_NULL_POINTER;
    return QAV_OK;
}

uint8_t RsaKeyP1(const RsaKeyLoad& r, const RsaSize& size, ChunkPosition position) noexcept {
    uint32_t p1 = PieceCode(kRsaKeyPieceCodes, position) | RsaKeySizeBits(size);
    if (r.encrypted == 1) p1 += kEncryptedBit + (r.keyIndex & 0x0F) * 4;
    return static_cast<uint8_t>(p1);
}

struct Sm2KeyLoad {
    uint32_t encrypted;
    uint32_t part;  // 0 public, 1 private
    uint32_t variant;
    uint32_t file;
    uint32_t keyIndex;
    uint32_t flag;
    const uint8_t* value;
    uint32_t valueLength;
};

uint32_t CheckSm2KeyLoad(const Sm2KeyLoad& r) noexcept {
    if (r.encrypted > 1) return QAV_E_BAD_SELECTOR;
    if (r.part > 1 || r.variant > 1) return QAV_E_BAD_LENGTH;
    if (r.file > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (r.encrypted == 1 && r.keyIndex > kMaxKeyIndex) return QAV_E_KEY_INDEX;
    if (r.flag > 1 || r.value == nullptr) return QAV_E_NULL_POINTER;
    if (r.valueLength == 0 || r.valueLength > kMaxSm2Value) return QAV_E_BAD_LENGTH;
    const uint32_t plainLength = r.part == 0 ? kSm2PublicLength : kSm2PrivateLength;
    if (r.encrypted == 0 && r.valueLength != plainLength) return QAV_E_BAD_LENGTH;
    return QAV_OK;
}

uint8_t Sm2KeyP1(const Sm2KeyLoad& r) noexcept {
    // Added, not or-ed: variant 1 and the low key index's 01 make 02.
    uint32_t p1 = r.variant & 0x0F;
    if (r.flag == 1) p1 += 0x40;
    if (r.encrypted == 1) {
        p1 += kEncryptedBit;
        if ((r.keyIndex & 0x0F) < 2) p1 += 0x01;
    }
    return static_cast<uint8_t>(p1);
}

}  // namespace

uint32_t CCardKeyCommands::WriteRSAKey(uint32_t bits, uint32_t encrypted, uint32_t component,
                                       uint32_t file, uint32_t keyIndex, uint32_t variant,
                                       const uint8_t* value, uint32_t valueLength,
                                       uint32_t challengeLength, QAV_MacCallback mac,
                                       uintptr_t context1, uintptr_t context2) {
    const RsaKeyLoad request{bits,     encrypted, component, file,
                             keyIndex, variant,   value,     valueLength};
    if (const uint32_t rc = CheckRsaKeyLoad(request, mac)) return rc;
    const RsaSize& size = *FindRsaSize(bits);

    KeyCommandData data;
    const bool isPublic = IsPublicComponent(component);
    data.AddFile(isPublic ? tag::kPublicFile : tag::kPrivateFile, file);
    const uint8_t valueTag =
        component == 0   ? tag::kModulus
        : component == 1 ? tag::kExponent
                         : static_cast<uint8_t>(tag::kFirstPrivateComponent + component - 2);
    data.Add(valueTag, ComponentLengthWord(size, component), value);

    const CommandMac secured{challengeLength, mac, context1, context2};
    CChunkCursor cursor(data.Length(), kRsaKeyPieceSize);
    while (!cursor.IsDone()) {
        const ApduHeader header{kMacCommandClass, kWriteRsaKey,
                                RsaKeyP1(request, size, cursor.Position()),
                                static_cast<uint8_t>(variant & 0x0F)};
        if (const uint32_t rc = SendWithMac(*this, header, data.Data() + cursor.Offset(),
                                            cursor.CurrentLength(), secured)) {
            return rc;
        }
        cursor.Advance();
    }
    return QAV_OK;
}

uint32_t CCardKeyCommands::WriteSM2Key(uint32_t encrypted, uint32_t part, uint32_t variant,
                                       uint32_t file, uint32_t keyIndex, uint32_t flag,
                                       const uint8_t* value, uint32_t valueLength,
                                       uint32_t challengeLength, QAV_MacCallback mac,
                                       uintptr_t context1, uintptr_t context2) {
    const Sm2KeyLoad request{encrypted, part, variant, file, keyIndex, flag, value, valueLength};
    if (const uint32_t rc = CheckSm2KeyLoad(request)) return rc;
    const bool plain = mac == nullptr;
    if (plain && !LoadsSm2KeyWithoutMac()) return QAV_E_NULL_POINTER;

    KeyCommandData data;
    const bool isPublic = part == 0;
    data.AddFile(isPublic ? tag::kPublicFile : tag::kPrivateFile, file);
    // One length byte whatever the value's length.
    data.Add(isPublic ? tag::kSm2Public : tag::kSm2Private, valueLength, value);

    ApduHeader header{kMacCommandClass, kWriteSm2Key, Sm2KeyP1(request),
                      static_cast<uint8_t>(part)};
    if (plain) {
        header.cla = kKeyCommandClass;
        CApdu apdu = CApdu::WithData(Format(), header, data.Data(), data.Length());
        return SendApdu(&apdu);
    }
    return SendWithMac(*this, header, data.Data(), data.Length(),
                       {challengeLength, mac, context1, context2});
}

}  // namespace qav
