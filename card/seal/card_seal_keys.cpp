// The seal card's key commands: key delivery, the token and the session key
// derived from it, and the export of an application authentication key.
#include <algorithm>

#include "card/common/card_output.h"
#include "card/common/key_command_support.h"
#include "card/seal/card_seal.h"

namespace qav {

namespace {

constexpr uint32_t kMaxByte = 0xFF;
constexpr uint32_t kTokenLength = 16;
constexpr uint32_t kDerivationDataLength = 32;
constexpr uint32_t kAppAuthKeyLength = 16;
constexpr uint32_t kAppAuthKeyCount = 15;

bool DeliveryKeyLengthOk(uint32_t length) noexcept {
    return length >= 8 && length <= 56 && length % 8 == 0;
}

// The low five bits name the key; the three high ones pass to the card.
bool TokenKeyTypeOk(uint32_t keyType) noexcept {
    if (keyType > kMaxByte) return false;
    const uint32_t kind = keyType & 0x1Fu;
    return kind == 6 || kind == 7 || kind == 8 || (kind >= 24 && kind <= 27);
}

uint32_t CheckTokenKey(uint32_t keyType, uint32_t keyReference) noexcept {
    if (!TokenKeyTypeOk(keyType)) return QAV_E_BAD_KEY;
    if (keyReference > kMaxByte) return QAV_E_ID_TOO_LARGE;
    return QAV_OK;
}

// Every command of this family names its key in P1 P2.
ApduHeader KeyHeader(uint8_t ins, uint32_t p1, uint32_t p2) noexcept {
    return {kKeyCommandClass, ins, static_cast<uint8_t>(p1), static_cast<uint8_t>(p2)};
}

// The card says in its first answer byte whether it derived the key.
uint32_t ParseDerivationVerdict(const CApdu& apdu) noexcept {
    if (apdu.ResponseLength() == 0) return QAV_E_UNEXPECTED_DATA;
    return apdu.Response()[0] != 0 ? QAV_OK : QAV_E_NOT_FOUND;
}

}  // namespace

uint32_t CCardSeal::DeliveryKey(uint32_t keyType, uint32_t keyReference, const uint8_t* key,
                                uint32_t keyLength, uint32_t) {
    if (keyType > kMaxByte) return QAV_E_BAD_KEY;
    if (keyReference > kMaxByte) return QAV_E_ID_TOO_LARGE;
    if (key == nullptr) return QAV_OK;
    if (!DeliveryKeyLengthOk(keyLength)) return QAV_E_BAD_LENGTH;

    CApdu apdu = CApdu::WithData(Format(), KeyHeader(0x1A, keyType, keyReference), key, keyLength);
    return SendApdu(&apdu);
}

uint32_t CCardSeal::GenerateToken1(uint32_t keyType, uint32_t keyReference, uint8_t* out,
                                   uint32_t* outLength, uint32_t) {
    if (const uint32_t rc = CheckTokenKey(keyType, keyReference)) return rc;
    if (outLength == nullptr) return QAV_E_NULL_POINTER;
    if (const auto stop = SizeQueryOrTooSmall(out, outLength, kTokenLength)) return *stop;

    CApdu apdu = CApdu::Expecting(Format(), KeyHeader(0x2A, keyType, keyReference), kTokenLength);
    if (const uint32_t rc = SendApdu(&apdu)) return rc;
    if (apdu.ResponseLength() != kTokenLength) return QAV_E_UNEXPECTED_DATA;
    std::copy_n(apdu.Response(), kTokenLength, out);
    *outLength = kTokenLength;
    return QAV_OK;
}

uint32_t CCardSeal::GenerateSK(uint32_t keyType, uint32_t keyReference, const uint8_t* data,
                               uint32_t dataLength, uint32_t) {
    if (const uint32_t rc = CheckTokenKey(keyType, keyReference)) return rc;
    if (data != nullptr && dataLength != kDerivationDataLength) return QAV_E_BAD_LENGTH;

    const ApduHeader header = KeyHeader(0x3A, keyType, keyReference);
    CApdu apdu = data != nullptr ? CApdu::WithData(Format(), header, data, kDerivationDataLength)
                                 : CApdu::Expecting(Format(), header, 1);
    if (const uint32_t rc = SendApdu(&apdu)) return rc;
    return ParseDerivationVerdict(apdu);
}

uint32_t CCardSeal::ExportAppAuthKey(uint32_t keyIndex, uint8_t* out, uint32_t* outLength,
                                     uint32_t) {
    if (outLength == nullptr) return QAV_E_NULL_POINTER;
    if (keyIndex >= kAppAuthKeyCount) return QAV_E_KEY_INDEX;
    if (const auto stop = SizeQueryOrTooSmall(out, outLength, kAppAuthKeyLength)) return *stop;

    CApdu apdu = CApdu::Expecting(Format(), KeyHeader(0xD8, 0x00, keyIndex), kAppAuthKeyLength);
    if (const uint32_t rc = SendApdu(&apdu)) return rc;
    // Le asked for 16; a longer answer that no longer fits is refused, not cut.
    return HandOut(apdu.Response(), apdu.ResponseLength(), out, outLength);
}

}  // namespace qav
