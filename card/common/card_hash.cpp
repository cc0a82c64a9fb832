// Hashing on the card: data, a key file, or both.
#include <vector>

#include "card/common/card_key_commands.h"
#include "card/common/key_command_support.h"

namespace qav {

namespace {

constexpr uint8_t kCardHash = 0xC4;
constexpr uint32_t kHashPieceSize = 127;
constexpr uint8_t kKeyFileOnlyP1 = 0x41;
constexpr uint8_t kWithKeyFileBit = 0x80;
constexpr PieceCodes kHashPieceCodes = {0x01, 0x00, 0x02, 0x03};

enum class HashMode : uint32_t { kData = 0, kKeyFile = 1, kDataAndKeyFile = 2 };

struct HashRequest {
    HashMode mode;
    uint32_t algorithm;
    const uint8_t* data;
    uint32_t dataLength;
    uint32_t keyFile;
};

uint32_t CheckHash(uint32_t mode, const HashRequest& r, const uint32_t* outLength) noexcept {
    if (mode > 2) return QAV_E_BAD_SELECTOR;
    if (r.algorithm == 0 || r.algorithm > 3) return QAV_E_BAD_ALGORITHM;
    if (r.mode != HashMode::kKeyFile) {
        if (r.data == nullptr) return QAV_E_NULL_POINTER;
        if (r.dataLength == 0) return QAV_E_BAD_LENGTH;
    }
    if (r.mode != HashMode::kData && r.keyFile > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (outLength == nullptr) return QAV_E_NULL_POINTER;
    return QAV_OK;
}

// One piece's header and data: C1 and the piece, led by the key file on the
// closing piece of mode 2.
ApduHeader HashPiece(const HashRequest& r, ChunkPosition position, const uint8_t* piece,
                     uint32_t length, KeyCommandData* data) {
    const bool closes = position == ChunkPosition::kOnly || position == ChunkPosition::kLast;
    const bool withKey = closes && r.mode == HashMode::kDataAndKeyFile;
    if (withKey) data->AddFile(tag::kPublicFile, r.keyFile);
    data->AddValue(tag::kBlock, piece, length);
    uint8_t p1 = PieceCode(kHashPieceCodes, position);
    if (withKey) p1 |= kWithKeyFileBit;
    return {kKeyCommandClass, kCardHash, p1, static_cast<uint8_t>(r.algorithm & 0x0F)};
}

}  // namespace

uint32_t CheckCardHash(uint32_t mode, uint32_t algorithm, const uint8_t* data, uint32_t dataLength,
                       uint32_t keyFile, const uint32_t* outLength) noexcept {
    return CheckHash(mode, {static_cast<HashMode>(mode), algorithm, data, dataLength, keyFile},
                     outLength);
}

uint32_t CCardKeyCommands::CardHash(uint32_t mode, uint32_t algorithm, const uint8_t* data,
                                    uint32_t dataLength, uint32_t keyFile, uint8_t* out,
                                    uint32_t* outLength, uint32_t) {
    const HashRequest request{static_cast<HashMode>(mode), algorithm, data, dataLength, keyFile};
    if (const uint32_t rc = CheckHash(mode, request, outLength)) return rc;

    std::vector<uint8_t> digest;
    if (request.mode == HashMode::kKeyFile) {
        KeyCommandData file;
        file.AddFile(tag::kPublicFile, keyFile);
        const ApduHeader header{kKeyCommandClass, kCardHash, kKeyFileOnlyP1,
                                static_cast<uint8_t>(algorithm & 0x0F)};
        CApdu apdu = CApdu::WithDataExpecting(Format(), header, file.Data(), file.Length(), 0);
        if (const uint32_t rc = SendApdu(&apdu)) return rc;
        digest.assign(apdu.Response(), apdu.Response() + apdu.ResponseLength());
    } else {
        CChunkCursor cursor(dataLength, kHashPieceSize);
        while (!cursor.IsDone()) {
            KeyCommandData piece;
            const ApduHeader header = HashPiece(request, cursor.Position(), data + cursor.Offset(),
                                                cursor.CurrentLength(), &piece);
            CApdu apdu =
                CApdu::WithDataExpecting(Format(), header, piece.Data(), piece.Length(), 0);
            if (const uint32_t rc = SendApdu(&apdu)) return rc;
            digest.assign(apdu.Response(), apdu.Response() + apdu.ResponseLength());
            cursor.Advance();
        }
    }
    return HandOut(digest.data(), static_cast<uint32_t>(digest.size()), out, outLength);
}

}  // namespace qav
