#include "card/common/binary_transfer.h"

#include <algorithm>
#include <vector>

#include "platform/secure_memory.h"
#include "reader/chunk_cursor.h"
#include "reader/iso_commands.h"

namespace qav {

namespace {

constexpr uint64_t kAddressableBytes = uint64_t{kMaxFileOffset} + 1;
// The checks keep every position within 16 bits.
ApduHeader AtPosition(ApduHeader header, uint32_t position) noexcept {
    header.p1 = static_cast<uint8_t>(position >> 8);
    header.p2 = static_cast<uint8_t>(position);
    return header;
}

bool IsSecured(const BinaryWrite& write) noexcept { return write.messaging.mac != nullptr; }

// The encrypt callback is told the whole write's length plus one block of
// room, capped at the area it really has. A one-piece write's plaintext is
// one byte longer than the data (its length byte), and a padding that always
// adds to it needs a full block beyond the plaintext: 15 bytes of data make
// 16 of plaintext and 32 of cryptogram, more than 15 + 16.
uint32_t CryptogramRoom(uint32_t dataLength, uint32_t plainLength) noexcept {
    const uint64_t longer = std::max(uint64_t{dataLength}, uint64_t{plainLength});
    return static_cast<uint32_t>(std::min<uint64_t>(longer + 16, uint64_t{kCryptogramArea}));
}

uint32_t SendPlainPiece(CCard& card, uint32_t position, const uint8_t* piece, uint32_t length) {
    CApdu apdu =
        CApdu::WithData(card.Format(), AtPosition(kUpdateBinaryHeader, position), piece, length);
    return card.SendApdu(&apdu);
}

uint32_t SendSecuredPiece(CCard& card, const ChallengeSource& challenge, const BinaryWrite& write,
                          uint32_t position, const uint8_t* piece, uint32_t length) {
    // Plaintext: the piece's length, then the piece.
    std::vector<uint8_t> plain;
    const platform::WipeOnExit wipePlain(plain);
    plain.reserve(size_t{length} + 1);
    plain.push_back(static_cast<uint8_t>(length));
    plain.insert(plain.end(), piece, piece + length);

    CApdu apdu(card.Format());
    apdu.SetHeader(AtPosition(kSecuredUpdateBinaryHeader, position));
    const uint32_t rc = BuildSecuredCommand(
        apdu, challenge, write.messaging, plain.data(), static_cast<uint32_t>(plain.size()),
        CryptogramRoom(write.length, static_cast<uint32_t>(plain.size())));
    if (rc != QAV_OK) return rc;
    return card.SendApdu(&apdu);
}

}  // namespace

void ProgressReport::Percent(uint32_t percent) const {
    if (callback_ == nullptr) return;
    callback_(percent, user_, 0);
}

void ProgressReport::Done(uint32_t done, uint32_t total) const {
    if (total == 0) return;
    Percent(static_cast<uint32_t>(uint64_t{done} * 100 / total));
}

bool FitsFilePositions(uint32_t offset, uint32_t length) noexcept {
    return uint64_t{offset} + length <= kAddressableBytes;
}

uint32_t CheckBinaryWrite(const BinaryWrite& write) noexcept {
    if (write.offset > kMaxFileOffset) return QAV_E_OFFSET_TOO_LARGE;
    if (write.data == nullptr) return QAV_E_NULL_POINTER;
    if (!FitsFilePositions(write.offset, write.length)) return QAV_E_BAD_LENGTH;
    // Every secured piece is encrypted; better refused now than after half
    // the file went out. The challenge length is the card's GET CHALLENGE's
    // to refuse, after the first progress report.
    if (IsSecured(write) && write.messaging.encrypt == nullptr) return QAV_E_NULL_POINTER;
    return QAV_OK;
}

uint32_t CheckBinaryRead(uint32_t offset, const uint8_t* out, const uint32_t* length) noexcept {
    if (offset > kMaxFileOffset) return QAV_E_OFFSET_TOO_LARGE;
    if (length == nullptr) return QAV_E_NULL_POINTER;
    if (*length > kMaxFileOffset) return QAV_E_BAD_LENGTH;
    if (out != nullptr && !FitsFilePositions(offset, *length)) return QAV_E_BAD_LENGTH;
    return QAV_OK;
}

uint32_t WriteBinaryPieces(CCard& card, const ChallengeSource& challenge, const BinaryWrite& write,
                           const ProgressReport& progress) {
    const bool secured = IsSecured(write);
    CChunkCursor cursor(write.length, secured ? kSecuredWritePieceSize : kWritePieceSize);
    progress.Percent(0);
    while (!cursor.IsDone()) {
        const uint32_t done = cursor.Offset();
        const uint32_t length = cursor.CurrentLength();
        const uint32_t position = write.offset + done;
        const uint8_t* piece = write.data + done;
        const uint32_t rc = secured
                                ? SendSecuredPiece(card, challenge, write, position, piece, length)
                                : SendPlainPiece(card, position, piece, length);
        if (rc != QAV_OK) return rc;
        cursor.Advance();
        progress.Done(cursor.Offset(), write.length);
    }
    return QAV_OK;
}

uint32_t ReadBinaryPieces(CCard& card, uint32_t offset, uint8_t* out, uint32_t length,
                          const ProgressReport& progress) {
    if (out == nullptr) return QAV_E_NULL_POINTER;
    if (!FitsFilePositions(offset, length)) return QAV_E_BAD_LENGTH;
    CChunkCursor cursor(length, kReadPieceSize);
    progress.Percent(0);
    while (!cursor.IsDone()) {
        const uint32_t done = cursor.Offset();
        const uint32_t pieceLength = cursor.CurrentLength();
        CApdu apdu = CApdu::Expecting(card.Format(), AtPosition(kReadBinaryHeader, offset + done),
                                      pieceLength);
        const uint32_t rc = card.SendApdu(&apdu);
        if (rc != QAV_OK) return rc;
        if (apdu.ResponseLength() != pieceLength) return QAV_E_UNEXPECTED_DATA;
        std::copy_n(apdu.Response(), pieceLength, out + done);
        cursor.Advance();
        progress.Done(cursor.Offset(), length);
    }
    return QAV_OK;
}

uint32_t QueryBinaryLength(CCard& card, uint32_t offset, const ProgressReport& progress) {
    if (offset > kMaxFileOffset) return QAV_E_OFFSET_TOO_LARGE;
    CApdu apdu = CApdu::Expecting(card.Format(), AtPosition(kReadBinaryHeader, offset), 0);
    progress.Percent(0);
    const uint32_t rc = card.SendApdu(&apdu);
    if (rc != QAV_OK) return rc;
    progress.Percent(100);
    return QAV_OK;
}

}  // namespace qav
