#include "card/common/key_command_support.h"

#include <algorithm>

#include "card/common/challenge.h"
#include "card/common/secured_command.h"
#include "platform/secure_memory.h"
#include "reader/tlv.h"

namespace qav {

namespace {

constexpr RsaSize kRsaSizes[] = {
    {1024, 0x00, 0x8180},
    {1280, 0x01, 0x81A0},
    {2048, 0x02, 0x820100},
};

}  // namespace

const RsaSize* FindRsaSize(uint32_t bits) noexcept {
    for (const RsaSize& size : kRsaSizes) {
        if (size.bits == bits) return &size;
    }
    return nullptr;
}

KeyCommandData::~KeyCommandData() { platform::SecureWipe(bytes_.data(), bytes_.capacity()); }

void KeyCommandData::AddFile(uint8_t elementTag, uint32_t fid) {
    const uint8_t id[2] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
    Add(elementTag, sizeof id, id);
}

void KeyCommandData::Add(uint8_t elementTag, uint32_t lengthWord, const uint8_t* value) {
    const uint32_t fieldBytes = LengthFieldBytes(lengthWord);
    const uint32_t valueLength = ValueLength(lengthWord);
    // Grown in one step so no unwiped copy of a key is left behind.
    std::vector<uint8_t> grown;
    grown.reserve(bytes_.size() + 1 + fieldBytes + valueLength);
    grown.assign(bytes_.begin(), bytes_.end());
    grown.push_back(elementTag);
    for (uint32_t i = fieldBytes; i > 0; --i) {
        grown.push_back(static_cast<uint8_t>(lengthWord >> (8 * (i - 1))));
    }
    grown.insert(grown.end(), value, value + valueLength);
    platform::SecureWipe(bytes_.data(), bytes_.capacity());
    bytes_.swap(grown);
}

void KeyCommandData::AddValue(uint8_t elementTag, const uint8_t* value, uint32_t length) {
    Add(elementTag, LengthWordFor(length), value);
}

uint32_t SendInPieces(CCard& card, const uint8_t* data, uint32_t length, uint32_t pieceSize,
                      const PieceHeader& header, PieceAnswer answer,
                      std::vector<uint8_t>* lastAnswer) {
    CChunkCursor cursor(length, pieceSize);
    while (!cursor.IsDone()) {
        const ChunkPosition position = cursor.Position();
        const bool ends = position == ChunkPosition::kOnly || position == ChunkPosition::kLast;
        const bool expects =
            answer == PieceAnswer::kEveryPiece || (answer == PieceAnswer::kLastPiece && ends);
        const uint8_t* piece = data + cursor.Offset();
        CApdu apdu = expects ? CApdu::WithDataExpecting(card.Format(), header(position), piece,
                                                        cursor.CurrentLength(), 0)
                             : CApdu::WithData(card.Format(), header(position), piece,
                                               cursor.CurrentLength());
        if (const uint32_t rc = card.SendApdu(&apdu)) return rc;
        if (ends && lastAnswer != nullptr) {
            lastAnswer->assign(apdu.Response(), apdu.Response() + apdu.ResponseLength());
        }
        cursor.Advance();
    }
    return QAV_OK;
}

std::optional<uint32_t> KeyPairOutputDecides(uint32_t publicFile, const uint8_t* out,
                                             uint32_t* outLength, uint32_t needed) {
    if (publicFile != 0) return std::nullopt;
    if (outLength == nullptr) return QAV_E_NULL_POINTER;
    return SizeQueryOrTooSmall(out, outLength, needed);
}

uint32_t SendKeyPairGeneration(CCard& card, ApduHeader header, uint32_t publicFile,
                               uint32_t privateFile, std::vector<uint8_t>* answer) {
    KeyCommandData data;
    data.AddFile(tag::kPublicFile, publicFile);
    data.AddFile(tag::kPrivateFile, privateFile);
    const bool returnsKey = publicFile == 0;
    CApdu apdu =
        returnsKey ? CApdu::WithDataExpecting(card.Format(), header, data.Data(), data.Length(), 0)
                   : CApdu::WithData(card.Format(), header, data.Data(), data.Length());
    if (const uint32_t rc = card.SendApdu(&apdu)) return rc;
    answer->assign(apdu.Response(), apdu.Response() + apdu.ResponseLength());
    return QAV_OK;
}

uint32_t SendWithMac(CCard& card, ApduHeader header, const uint8_t* data, uint32_t length,
                     const CommandMac& mac) {
    if (length > kMaxSecuredCryptogram) return QAV_E_BAD_LENGTH;
    std::array<uint8_t, kMaxChallengeLength> challenge{};
    if (const uint32_t rc = RequestChallenge(card, challenge.data(), mac.challengeLength)) {
        return rc;
    }
    // Room for the MAC up front: the key material is never reallocated.
    std::vector<uint8_t> secured;
    const platform::WipeOnExit wipeSecured(secured);
    secured.reserve(size_t{length} + kCommandMacLength);
    secured.assign(data, data + length);
    CApdu apdu(card.Format());
    apdu.SetHeader(header);
    const SecureMessaging messaging{mac.challengeLength, nullptr, mac.mac, mac.context1,
                                    mac.context2};
    if (const uint32_t rc = AppendCommandMac(apdu, challenge.data(), messaging, &secured)) {
        return rc;
    }
    return card.SendApdu(&apdu);
}

uint32_t ParseSingleElement(const uint8_t* answer, uint32_t length, uint32_t expectedTag,
                            std::vector<uint8_t>* value) {
    CTlvList list;
    if (answer == nullptr || list.Parse(answer, length) != QAV_OK || list.Count() != 1) {
        return QAV_E_UNEXPECTED_DATA;
    }
    const TlvElement* element = list.Get(0);
    if (element == nullptr || (expectedTag != kAnyTag && element->Tag() != expectedTag)) {
        return QAV_E_UNEXPECTED_DATA;
    }
    value->assign(element->Value(), element->Value() + element->ValueLength());
    return QAV_OK;
}

uint32_t ParseRsaPublicKey(const uint8_t* answer, uint32_t length, std::vector<uint8_t>* key) {
    CTlvList list;
    if (answer == nullptr || list.Parse(answer, length) != QAV_OK || list.Count() != 2) {
        return QAV_E_UNEXPECTED_DATA;
    }
    const TlvElement* modulus = list.Get(0);
    const TlvElement* exponent = list.Get(1);
    if (modulus == nullptr || exponent == nullptr || modulus->Tag() != tag::kModulus ||
        exponent->Tag() != tag::kExponent) {
        return QAV_E_UNEXPECTED_DATA;
    }
    key->assign(modulus->Value(), modulus->Value() + modulus->ValueLength());
    key->insert(key->end(), exponent->Value(), exponent->Value() + exponent->ValueLength());
    return QAV_OK;
}

}  // namespace qav
