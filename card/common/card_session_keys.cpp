// Session keys on the card: export, import and delete, and ciphering with
// one of them.
#include <vector>

#include "card/common/card_key_commands.h"
#include "card/common/key_command_support.h"
#include "platform/secure_memory.h"

namespace qav {

namespace {

constexpr uint8_t kExportSessionKey = 0xD8;
constexpr uint8_t kImportSessionKey = 0x4A;
constexpr uint8_t kSessionKeyCipher = 0xFA;
constexpr uint8_t kDeleteP1 = 0xFF;
constexpr uint32_t kImportPieceSize = 249;
// The largest multiple of 16 that leaves room for the key-index prefix and
// an IV in a short command.
constexpr uint32_t kCipherPieceSize = 208;
constexpr uint32_t kCipherPrefixLength = 4;
constexpr uint32_t kMaxIvLength = 255 - kCipherPrefixLength - kCipherPieceSize;
constexpr uint32_t kMaxWrappedKeyLength = 0xFFFF;
constexpr uint8_t kWrappedBit = 0x80;
constexpr uint8_t kFlagBit = 0x10;
constexpr PieceCodes kImportPieceCodes = {0x00, 0x08, 0x10, 0x20};
constexpr PieceCodes kCipherPieceCodes = {0x00, 0x01, 0x02, 0x03};

// Symmetric algorithm numbers and their key lengths; 0 is refused.
uint32_t SessionKeyLength(uint32_t algorithm) noexcept {
    switch (algorithm) {
        case 1:
        case 2:
        case 5:
        case 7:
            return 16;
        case 4:
            return 8;
        case 6:
            return 24;
        default:
            return 0;
    }
}

struct WrapForm {
    bool known;
    uint8_t p2;           // with the wrapped bit
    uint32_t lengthWord;  // the C1 form of the wrapped block; 0: the caller's length
};

// Wrap algorithms 0, 1 and 2; another one is only the wrapped bit.
WrapForm WrapFormOf(uint32_t wrapAlgorithm) noexcept {
    switch (wrapAlgorithm) {
        case 0:
            return {true, 0x80, 0x8180};
        case 1:
            return {true, 0xE0, 0x820100};
        case 2:
            return {true, 0xA0, 0};
        default:
            return {false, kWrappedBit, 0};
    }
}

struct ImportRequest {
    uint32_t mode;
    bool wrapped;
    uint32_t algorithm;
    uint32_t flag;
    uint32_t wrapKeyFile;
    uint32_t wrapAlgorithm;
    const uint8_t* key;
    uint32_t keyLength;
    const uint32_t* keyIndex;
};

}  // namespace

uint32_t CheckImportKeyMaterial(bool wrapped, uint32_t algorithm, const uint8_t* key,
                                uint32_t keyLength) noexcept {
    if (key == nullptr) return QAV_E_NULL_POINTER;
    if (keyLength == 0) return QAV_E_BAD_LENGTH;
    if (!wrapped && keyLength != SessionKeyLength(algorithm)) return QAV_E_BAD_LENGTH;
    return wrapped && keyLength > kMaxWrappedKeyLength ? QAV_E_BAD_LENGTH : QAV_OK;
}

namespace {

// After the mode and wrapped selectors.
uint32_t CheckImport(const ImportRequest& r) noexcept {
    const bool deletes = r.mode == 2;
    if (!deletes) {
        if (SessionKeyLength(r.algorithm) == 0) return QAV_E_BAD_ALGORITHM;
        if (r.flag > 1) return QAV_E_NULL_POINTER;
    }
    if (r.wrapped && r.wrapKeyFile > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (!deletes) {
        if (r.wrapped && !WrapFormOf(r.wrapAlgorithm).known) return QAV_E_BAD_ALGORITHM;
        if (const uint32_t rc =
                CheckImportKeyMaterial(r.wrapped, r.algorithm, r.key, r.keyLength)) {
            return rc;
        }
        if (r.wrapped) {
            const uint32_t forced = WrapFormOf(r.wrapAlgorithm).lengthWord;
            if (forced != 0 && r.keyLength != ValueLength(forced)) return QAV_E_BAD_LENGTH;
        }
    }
    if (r.keyIndex == nullptr) return QAV_E_NULL_POINTER;
    if (r.mode != 0 && *r.keyIndex > kMaxKeyIndex) return QAV_E_KEY_INDEX;
    return QAV_OK;
}

void EncodeImport(const ImportRequest& r, KeyCommandData* data) {
    if (!r.wrapped) {
        data->AddValue(tag::kBlock, r.key, r.keyLength);
        return;
    }
    data->AddFile(tag::kPrivateFile, r.wrapKeyFile);
    const uint32_t forced = WrapFormOf(r.wrapAlgorithm).lengthWord;
    data->Add(tag::kBlock, forced != 0 ? forced : 0x820000u | r.keyLength, r.key);
}

uint8_t ImportP2(const ImportRequest& r) noexcept {
    uint8_t p2 = r.wrapped ? WrapFormOf(r.wrapAlgorithm).p2 : 0;
    if (r.flag == 1) p2 |= kFlagBit;
    if (r.mode == 1) p2 = static_cast<uint8_t>(p2 + *r.keyIndex + 1);
    return p2;
}

struct CipherRequest {
    uint32_t direction;
    uint32_t keyIndex;
    const uint8_t* iv;  // null without an IV
    uint32_t ivLength;
};

// The first piece leads with 00 00 00, the key index and the IV.
std::vector<uint8_t> FirstCipherPiece(const CipherRequest& r, const uint8_t* piece,
                                      uint32_t length) {
    std::vector<uint8_t> data = {0x00, 0x00, 0x00, static_cast<uint8_t>(r.keyIndex)};
    if (r.iv != nullptr) data.insert(data.end(), r.iv, r.iv + r.ivLength);
    data.insert(data.end(), piece, piece + length);
    return data;
}

ApduHeader CipherHeader(const CipherRequest& r, ChunkPosition position) noexcept {
    ApduHeader header{kKeyCommandClass, kSessionKeyCipher, PieceCode(kCipherPieceCodes, position),
                      0x00};
    if (position == ChunkPosition::kOnly || position == ChunkPosition::kFirst) {
        header.p2 = 0x40;
        if (r.direction == 1) header.p2 |= 0x80;
        if (r.iv != nullptr) header.p2 |= 0x01;
    }
    return header;
}

}  // namespace

uint32_t CCardKeyCommands::ExportSessionKey(uint32_t keyIndex, uint32_t wrapped, uint32_t algorithm,
                                            uint32_t wrapKeyFile, uint32_t wrapAlgorithm,
                                            uint8_t* out, uint32_t* outLength, uint32_t) {
    if (keyIndex > kMaxKeyIndex) return QAV_E_NULL_POINTER;
    if (wrapped > 1) return QAV_E_BAD_SELECTOR;
    const uint32_t keyLength = SessionKeyLength(algorithm);
    if (keyLength == 0) return QAV_E_BAD_ALGORITHM;
    if (wrapped == 1 && wrapKeyFile > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (outLength == nullptr) return QAV_E_NULL_POINTER;

    ApduHeader header{kKeyCommandClass, kExportSessionKey, static_cast<uint8_t>(algorithm),
                      static_cast<uint8_t>(keyIndex & 0x0F)};
    KeyCommandData data;
    if (wrapped == 1) {
        header.p2 |= WrapFormOf(wrapAlgorithm).p2;
        data.AddFile(tag::kPublicFile, wrapKeyFile);
    }
    CApdu apdu = wrapped == 1
                     ? CApdu::WithDataExpecting(Format(), header, data.Data(), data.Length(), 0)
                     : CApdu::Expecting(Format(), header, keyLength + 2);
    if (const uint32_t rc = SendApdu(&apdu)) return rc;

    std::vector<uint8_t> key;
    const platform::WipeOnExit wipeKey(key);
    if (const uint32_t rc =
            ParseSingleElement(apdu.Response(), apdu.ResponseLength(), tag::kBlock, &key)) {
        return rc;
    }
    return HandOut(key.data(), static_cast<uint32_t>(key.size()), out, outLength);
}

uint32_t CCardKeyCommands::ImportSessionKey(uint32_t mode, uint32_t wrapped, uint32_t algorithm,
                                            uint32_t flag, uint32_t wrapKeyFile,
                                            uint32_t wrapAlgorithm, const uint8_t* key,
                                            uint32_t keyLength, uint32_t* keyIndex, uint32_t) {
    if (mode > 2 || wrapped > 1) return QAV_E_BAD_SELECTOR;
    const ImportRequest request{mode,          wrapped == 1, algorithm, flag,    wrapKeyFile,
                                wrapAlgorithm, key,          keyLength, keyIndex};
    if (const uint32_t rc = CheckImport(request)) return rc;

    if (mode == 2) {
        const ApduHeader header{kKeyCommandClass, kImportSessionKey, kDeleteP1,
                                static_cast<uint8_t>((*keyIndex & 0x0F) + 1)};
        CApdu apdu = CApdu::WithData(Format(), header, nullptr, 0);
        return SendApdu(&apdu);
    }

    KeyCommandData data;
    EncodeImport(request, &data);
    const uint8_t p2 = ImportP2(request);
    const auto header = [&](ChunkPosition position) {
        return ApduHeader{
            kKeyCommandClass, kImportSessionKey,
            static_cast<uint8_t>((algorithm & 0x0F) | PieceCode(kImportPieceCodes, position)), p2};
    };
    std::vector<uint8_t> answer;
    if (const uint32_t rc = SendInPieces(*this, data.Data(), data.Length(), kImportPieceSize,
                                         header, PieceAnswer::kEveryPiece, &answer)) {
        return rc;
    }
    const uint32_t answered = answer.empty() ? 0 : answer[0];
    // A key number no later command can name would leave an unusable handle.
    if (answered > kMaxKeyIndex) return QAV_E_UNEXPECTED_DATA;
    *keyIndex = answered;
    return QAV_OK;
}

uint32_t CCardKeyCommands::SessionKeyCipher(uint32_t direction, uint32_t keyIndex, uint32_t withIv,
                                            const uint8_t* iv, uint32_t ivLength,
                                            const uint8_t* input, uint32_t inputLength,
                                            uint8_t* output, uint32_t* outputLength, uint32_t) {
    if (direction > 1) return QAV_E_BAD_SELECTOR;
    if (keyIndex > kMaxKeyIndex) return QAV_E_KEY_INDEX;
    if (withIv > 1) return QAV_E_BAD_CIPHER_MODE;
    if (withIv == 1) {
        if (iv == nullptr) return QAV_E_NULL_POINTER;
        if (ivLength == 0 || ivLength > kMaxIvLength) return QAV_E_BAD_LENGTH;
    }
    if (input == nullptr || outputLength == nullptr) return QAV_E_NULL_POINTER;
    if (const auto stop = SizeQueryOrTooSmall(output, outputLength, inputLength)) return *stop;
    uint32_t rc = QAV_OK;

    const CipherRequest request{direction, keyIndex, withIv == 1 ? iv : nullptr, ivLength};
    CChunkCursor cursor(inputLength, kCipherPieceSize);
    uint32_t produced = 0;
    while (!cursor.IsDone()) {
        const ChunkPosition position = cursor.Position();
        const uint8_t* piece = input + cursor.Offset();
        const uint32_t length = cursor.CurrentLength();
        const bool leads = position == ChunkPosition::kOnly || position == ChunkPosition::kFirst;
        const bool ends = position == ChunkPosition::kOnly || position == ChunkPosition::kLast;
        std::vector<uint8_t> data =
            leads ? FirstCipherPiece(request, piece, length) : std::vector<uint8_t>();
        const platform::WipeOnExit wipeData(data);
        const uint8_t* sent = leads ? data.data() : piece;
        const auto sentLength = leads ? static_cast<uint32_t>(data.size()) : length;
        const ApduHeader header = CipherHeader(request, position);
        CApdu apdu = ends ? CApdu::WithDataExpecting(Format(), header, sent, sentLength, 0)
                          : CApdu::WithData(Format(), header, sent, sentLength);
        if ((rc = SendApdu(&apdu)) != QAV_OK) return rc;
        if (apdu.ResponseLength() > *outputLength - produced) return QAV_E_UNEXPECTED_DATA;
        std::copy_n(apdu.Response(), apdu.ResponseLength(), output + produced);
        produced += apdu.ResponseLength();
        cursor.Advance();
    }
    if (produced != inputLength) return QAV_E_UNEXPECTED_DATA;
    *outputLength = inputLength;
    return QAV_OK;
}

}  // namespace qav
