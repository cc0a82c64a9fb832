// The seal card's public-key export: 80 C9 in two steps. The first names the
// key file and answers a C1 block about the key; the second answers the key
// itself (RSA: modulus C3 then exponent C9; SM2: one element).
#include <array>
#include <initializer_list>
#include <vector>

#include "card/card_output.h"
#include "card/card_seal.h"
#include "reader/tlv.h"

namespace qav {

namespace {

constexpr uint8_t kProprietaryClass = 0x80;
constexpr uint8_t kExportIns = 0xC9;
constexpr uint8_t kSecondStep = 0x80;
constexpr uint8_t kTagKeyFile = 0xC0;
constexpr uint8_t kTagBlock = 0xC1;
constexpr uint8_t kTagModulus = 0xC3;
constexpr uint8_t kTagExponent = 0xC9;
constexpr int32_t kMaxFid = 0xFFFF;

struct PublicKeyExport {
    uint8_t p1 = 0;
    uint8_t partBits = 0;  // the key part, told to the card in P2 for keyKind 1
    bool sm2 = false;
};

uint32_t CheckPublicKeyExport(uint32_t keyKind, int32_t fid, uint32_t algorithm, uint32_t keyPart,
                              const uint32_t* publicKeyLength,
                              const uint32_t* firstAnswerLength) noexcept {
    if (keyKind > 1) return QAV_E_BAD_SELECTOR;
    if (fid < 0 || fid > kMaxFid) return QAV_E_ID_TOO_LARGE;
    if (algorithm > 1 || keyPart > 1) return QAV_E_BAD_ALGORITHM;
    if (publicKeyLength == nullptr || firstAnswerLength == nullptr) return QAV_E_NULL_POINTER;
    return QAV_OK;
}

// P1: 80 for SM2, then 60 for key kind 0 or 40 for key kind 1.
PublicKeyExport DescribeExport(uint32_t keyKind, uint32_t algorithm, uint32_t keyPart) noexcept {
    PublicKeyExport exported;
    exported.sm2 = algorithm == 1;
    exported.p1 = static_cast<uint8_t>((exported.sm2 ? 0x80 : 0x00) | (keyKind == 0 ? 0x60 : 0x40));
    exported.partBits = static_cast<uint8_t>(keyKind == 1 ? keyPart : 0);
    return exported;
}

ApduHeader ExportHeader(const PublicKeyExport& exported, uint8_t step) noexcept {
    return {kProprietaryClass, kExportIns, exported.p1,
            static_cast<uint8_t>(step | exported.partBits)};
}

uint32_t EncodeKeyFile(int32_t fid, CTlvList* list) {
    const std::array<uint8_t, 2> id = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
    const TlvElement element(kTagKeyFile, id.data(), static_cast<uint32_t>(id.size()));
    return list->Add(&element);
}

// The whole answer must parse, into exactly the tags asked for (0: any).
bool ParseElements(const CApdu& apdu, std::initializer_list<uint8_t> tags, CTlvList* list) {
    if (list->Parse(apdu.Response(), apdu.ResponseLength()) != QAV_OK) return false;
    if (list->Count() != tags.size()) return false;
    uint32_t index = 0;
    for (const uint8_t tag : tags) {
        const TlvElement* element = list->Get(index++);
        if (element == nullptr || (tag != 0 && element->Tag() != tag)) return false;
    }
    return true;
}

// The values of the elements, one after the other.
uint32_t ParseValues(const CApdu& apdu, std::initializer_list<uint8_t> tags,
                     std::vector<uint8_t>* values) {
    CTlvList list;
    if (!ParseElements(apdu, tags, &list)) return QAV_E_UNEXPECTED_DATA;
    values->clear();
    for (uint32_t i = 0; i < list.Count(); ++i) {
        const TlvElement* element = list.Get(i);
        if (element == nullptr) return QAV_E_UNEXPECTED_DATA;
        values->insert(values->end(), element->Value(), element->Value() + element->ValueLength());
    }
    return QAV_OK;
}

// RSA: the modulus followed by the exponent. SM2: the one element's value,
// whatever its tag.
uint32_t ParsePublicKey(const CApdu& apdu, bool sm2, std::vector<uint8_t>* key) {
    return sm2 ? ParseValues(apdu, {0}, key) : ParseValues(apdu, {kTagModulus, kTagExponent}, key);
}

}  // namespace

uint32_t CCardSeal::ExportPublicKey(uint32_t keyKind, int32_t fid, uint32_t algorithm, uint32_t,
                                    uint32_t, uint32_t keyPart, uint8_t* publicKey,
                                    uint32_t* publicKeyLength, uint8_t* firstAnswer,
                                    uint32_t* firstAnswerLength, uint32_t) {
    if (const uint32_t rc = CheckPublicKeyExport(keyKind, fid, algorithm, keyPart, publicKeyLength,
                                                 firstAnswerLength)) {
        return rc;
    }
    const PublicKeyExport exported = DescribeExport(keyKind, algorithm, keyPart);
    CTlvList request;
    if (const uint32_t rc = EncodeKeyFile(fid, &request)) return rc;

    std::vector<uint8_t> answer;
    {
        CApdu first = CApdu::WithDataExpecting(Format(), ExportHeader(exported, 0x00),
                                               request.EncodingData(), request.EncodingLength(), 0);
        if (const uint32_t rc = SendApdu(&first)) return rc;
        if (const uint32_t rc = ParseValues(first, {kTagBlock}, &answer)) return rc;
    }
    // Without a buffer for the first answer the caller only asked its size.
    const uint32_t handed = HandOut(answer.data(), static_cast<uint32_t>(answer.size()),
                                    firstAnswer, firstAnswerLength);
    if (handed != QAV_OK || firstAnswer == nullptr) return handed;

    CApdu second = CApdu::Expecting(Format(), ExportHeader(exported, kSecondStep), 0);
    if (const uint32_t rc = SendApdu(&second)) return rc;
    if (const uint32_t rc = ParsePublicKey(second, exported.sm2, &answer)) return rc;
    return HandOut(answer.data(), static_cast<uint32_t>(answer.size()), publicKey, publicKeyLength);
}

}  // namespace qav
