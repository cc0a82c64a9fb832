// The seal card's public-key export: 80 C9 in two steps. The first names the
// key file and answers a C1 block about the key; the second answers the key
// itself (RSA: modulus C3 then exponent C9; SM2: one element).
#include <vector>

#include "card/common/card_output.h"
#include "card/common/key_command_support.h"
#include "card/seal/card_seal.h"

namespace qav {

namespace {

constexpr uint8_t kExportIns = 0xC9;
constexpr uint8_t kSecondStep = 0x80;

struct PublicKeyExport {
    uint8_t p1 = 0;
    uint8_t partBits = 0;  // the key part, told to the card in P2 for keyKind 1
    bool sm2 = false;
};

uint32_t CheckPublicKeyExport(uint32_t keyKind, int32_t fid, uint32_t algorithm, uint32_t keyPart,
                              const uint32_t* publicKeyLength,
                              const uint32_t* firstAnswerLength) noexcept {
    if (keyKind > 1) return QAV_E_BAD_SELECTOR;
    if (fid < 0 || static_cast<uint32_t>(fid) > kMaxFileId) return QAV_E_ID_TOO_LARGE;
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
    return {kKeyCommandClass, kExportIns, exported.p1,
            static_cast<uint8_t>(step | exported.partBits)};
}

// RSA: the modulus followed by the exponent. SM2: the one element's value,
// whatever its tag.
uint32_t ParsePublicKey(const CApdu& apdu, bool sm2, std::vector<uint8_t>* key) {
    return sm2 ? ParseSingleElement(apdu.Response(), apdu.ResponseLength(), kAnyTag, key)
               : ParseRsaPublicKey(apdu.Response(), apdu.ResponseLength(), key);
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
    KeyCommandData request;
    request.AddFile(tag::kPublicFile, static_cast<uint32_t>(fid));

    std::vector<uint8_t> answer;
    {
        CApdu first = CApdu::WithDataExpecting(Format(), ExportHeader(exported, 0x00),
                                               request.Data(), request.Length(), 0);
        if (const uint32_t rc = SendApdu(&first)) return rc;
        if (const uint32_t rc = ParseSingleElement(first.Response(), first.ResponseLength(),
                                                   tag::kBlock, &answer)) {
            return rc;
        }
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
