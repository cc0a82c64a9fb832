// The seal card's symmetric commands on 80 FA: CipherData (a card key or one
// carried in the command) and the seal form of SessionKeyCipher. Both go in
// chained pieces, P1 the piece's place in the chain, with a prefix (key
// index, IV, key) ahead of the first piece only.
#include <algorithm>
#include <vector>

#include "card/common/card_output.h"
#include "card/common/key_command_support.h"
#include "card/seal/card_seal.h"
#include "platform/secure_memory.h"
#include "reader/chunk_cursor.h"

namespace qav {

namespace {

constexpr uint8_t kCipherIns = 0xFA;
constexpr uint32_t kMaxCommandData = 255;  // one-byte Lc
constexpr uint32_t kBlock = 16;
// The longest IV the card's ciphers take; more could not share the first
// command with its piece.
constexpr uint32_t kMaxIvLength = 16;
constexpr uint32_t kCipherDataPiece = 224;
constexpr uint32_t kCipherDataKeyLength = 16;
constexpr uint32_t kMacLength = 4;
// The largest multiple of 16 not above 221.
constexpr uint32_t kSessionPiece = 208;
constexpr uint32_t kFixedSessionKey = 6;
constexpr uint32_t kMaxSessionKeyIndex = 0xFF;

struct CipherChain {
    uint32_t pieceSize = 0;
    uint8_t firstP2 = 0;          // the only or first piece
    uint8_t laterP2 = 0;          // middle and last pieces
    std::vector<uint8_t> prefix;  // ahead of the first piece; may hold a key
    bool leOnLast = false;        // Le 00 on the only or last piece
    bool answerPerPiece = false;  // each answer exactly as long as its piece
};

// A first piece that would not fit one command beside the prefix shrinks to
// the whole blocks that do; later pieces keep the full size.
uint32_t FirstPieceSize(const CipherChain& chain) noexcept {
    const uint32_t room = kMaxCommandData - static_cast<uint32_t>(chain.prefix.size());
    return std::min(chain.pieceSize, room / kBlock * kBlock);
}

CApdu EncodeCipherPiece(const CApduFormat* format, const CipherChain& chain, ChunkPosition position,
                        bool opens, const std::vector<uint8_t>& data) {
    const bool closes = position == ChunkPosition::kOnly || position == ChunkPosition::kLast;
    const ApduHeader header{kKeyCommandClass, kCipherIns, static_cast<uint8_t>(position),
                            opens ? chain.firstP2 : chain.laterP2};
    const auto length = static_cast<uint32_t>(data.size());
    return chain.leOnLast && closes
               ? CApdu::WithDataExpecting(format, header, data.data(), length, 0)
               : CApdu::WithData(format, header, data.data(), length);
}

// Each answer goes to out after the bytes already produced, never past room.
uint32_t TakeCipherAnswer(const CApdu& apdu, const CipherChain& chain, uint32_t pieceLength,
                          uint8_t* out, uint32_t room, uint32_t* produced) {
    const uint32_t answered = apdu.ResponseLength();
    if (answered > room - *produced) return QAV_E_UNEXPECTED_DATA;
    if (chain.answerPerPiece && answered != pieceLength) return QAV_E_UNEXPECTED_DATA;
    std::copy_n(apdu.Response(), answered, out + *produced);
    *produced += answered;
    return QAV_OK;
}

uint32_t SendCipherChain(CCard& card, const CipherChain& chain, const uint8_t* data,
                         uint32_t length, uint8_t* out, uint32_t room, uint32_t* produced) {
    CChunkCursor cursor(length, chain.pieceSize);
    cursor.SetFixedLength(std::min(length, FirstPieceSize(chain)));
    std::vector<uint8_t> command;
    command.reserve(kMaxCommandData);  // never reallocated: no stray copies of a key
    const platform::WipeOnExit wipeCommand(command);
    while (!cursor.IsDone()) {
        const bool opens = cursor.Offset() == 0;
        const uint32_t pieceLength = cursor.CurrentLength();
        command.assign(opens ? chain.prefix.begin() : chain.prefix.end(), chain.prefix.end());
        command.insert(command.end(), data + cursor.Offset(), data + cursor.Offset() + pieceLength);
        CApdu apdu = EncodeCipherPiece(card.Format(), chain, cursor.Position(), opens, command);
        if (const uint32_t rc = card.SendApdu(&apdu)) return rc;
        if (const uint32_t rc = TakeCipherAnswer(apdu, chain, pieceLength, out, room, produced)) {
            return rc;
        }
        cursor.Advance();
        cursor.SetFixedLength(0);
    }
    return QAV_OK;
}

struct CipherDataRequest {
    uint32_t algorithm;
    uint32_t direction;
    uint32_t operation;
    const uint8_t* iv;
    uint32_t ivLength;
    const uint8_t* key;
    uint32_t keyLength;
    uint32_t keyMode;
    const uint8_t* data;
    uint32_t dataLength;
};

// Nothing to cipher (a length of 0) is refused with the other bad lengths.
uint32_t CheckCipherData(const CipherDataRequest& request, const uint32_t* outLength) noexcept {
    if (request.algorithm != 0) return QAV_E_BAD_ALGORITHM;
    if (request.direction > 1) return QAV_E_NULL_POINTER;
    if (request.keyMode > 1 || (request.operation == 1 && request.keyMode != 1)) {
        return QAV_E_BAD_CIPHER_MODE;
    }
    if (request.keyMode == 1) {
        if (request.key == nullptr) return QAV_E_NULL_POINTER;
        if (request.keyLength != kCipherDataKeyLength) return QAV_E_BAD_LENGTH;
    }
    if (request.data == nullptr || outLength == nullptr) return QAV_E_NULL_POINTER;
    if (request.dataLength == 0 || request.dataLength % kBlock != 0) return QAV_E_BAD_LENGTH;
    if (request.iv != nullptr && (request.ivLength == 0 || request.ivLength > kMaxIvLength)) {
        return QAV_E_BAD_LENGTH;
    }
    if (request.operation > 1) return QAV_E_NULL_POINTER;
    return QAV_OK;
}

// P2 is the same for every piece: 40 decrypts, 80 MACs, 20 an IV comes
// first, 01 a key comes (after the IV).
CipherChain CipherDataChain(const CipherDataRequest& request) {
    CipherChain chain;
    chain.pieceSize = kCipherDataPiece;
    chain.prefix.reserve(kMaxIvLength + kCipherDataKeyLength);  // the key is copied once
    uint8_t p2 = request.direction == 0 ? 0x40 : 0x00;
    if (request.operation == 1) p2 |= 0x80;
    if (request.iv != nullptr) {
        p2 |= 0x20;
        chain.prefix.assign(request.iv, request.iv + request.ivLength);
    }
    if (request.keyMode == 1) {
        p2 |= 0x01;
        chain.prefix.insert(chain.prefix.end(), request.key, request.key + request.keyLength);
    }
    chain.firstP2 = p2;
    chain.laterP2 = p2;
    return chain;
}

struct SessionCipherRequest {
    uint32_t direction;
    uint32_t keyIndex;
    uint32_t withIv;
    const uint8_t* iv;
    uint32_t ivLength;
    const uint8_t* input;
    uint32_t inputLength;
};

// The key index is not bounded by the card's five session keys (the fixed
// key 6 is one too) but must fit its byte; empty input is refused, as for
// CipherData.
uint32_t CheckSessionCipher(const SessionCipherRequest& request,
                            const uint32_t* outputLength) noexcept {
    if (request.direction > 1) return QAV_E_BAD_SELECTOR;
    if (request.withIv > 1) return QAV_E_BAD_CIPHER_MODE;
    if (request.withIv == 1) {
        if (request.iv == nullptr) return QAV_E_NULL_POINTER;
        if (request.ivLength == 0 || request.ivLength > kMaxIvLength) return QAV_E_BAD_LENGTH;
    }
    if (request.input == nullptr || outputLength == nullptr) return QAV_E_NULL_POINTER;
    if (request.keyIndex > kMaxSessionKeyIndex) return QAV_E_KEY_INDEX;
    if (request.inputLength == 0) return QAV_E_BAD_LENGTH;
    return QAV_OK;
}

// The first piece opens with 00 00 00 and the key index, then the IV; its
// P2 says 80 encrypt, 40 a session key other than the fixed one, 01 an IV.
CipherChain SessionCipherChain(const SessionCipherRequest& request) {
    CipherChain chain;
    chain.pieceSize = kSessionPiece;
    chain.leOnLast = true;
    chain.answerPerPiece = true;
    chain.prefix = {0x00, 0x00, 0x00, static_cast<uint8_t>(request.keyIndex)};
    uint8_t p2 = request.direction == 1 ? 0x80 : 0x00;
    if (request.keyIndex != kFixedSessionKey) p2 |= 0x40;
    if (request.withIv == 1) {
        p2 |= 0x01;
        chain.prefix.insert(chain.prefix.end(), request.iv, request.iv + request.ivLength);
    }
    chain.firstP2 = p2;
    chain.laterP2 = 0x00;
    return chain;
}

}  // namespace

uint32_t CCardSeal::CipherData(uint32_t algorithm, uint32_t direction, uint32_t operation,
                               const uint8_t* iv, uint32_t ivLength, const uint8_t* key,
                               uint32_t keyLength, uint32_t keyMode, const uint8_t* data,
                               uint32_t dataLength, uint8_t* out, uint32_t* outLength, uint32_t) {
    const CipherDataRequest request{algorithm, direction, operation, iv,   ivLength,
                                    key,       keyLength, keyMode,   data, dataLength};
    if (const uint32_t rc = CheckCipherData(request, outLength)) return rc;
    const uint32_t expected = operation == 0 ? dataLength : kMacLength;
    if (const auto stop = SizeQueryOrTooSmall(out, outLength, expected)) return *stop;

    CipherChain chain = CipherDataChain(request);
    const platform::WipeOnExit wipePrefix(chain.prefix);
    *outLength = 0;
    if (const uint32_t rc =
            SendCipherChain(*this, chain, data, dataLength, out, expected, outLength)) {
        return rc;
    }
    return *outLength == expected ? QAV_OK : QAV_E_UNEXPECTED_DATA;
}

uint32_t CCardSeal::SessionKeyCipher(uint32_t direction, uint32_t keyIndex, uint32_t withIv,
                                     const uint8_t* iv, uint32_t ivLength, const uint8_t* input,
                                     uint32_t inputLength, uint8_t* output, uint32_t* outputLength,
                                     uint32_t) {
    const SessionCipherRequest request{direction, keyIndex, withIv,     iv,
                                       ivLength,  input,    inputLength};
    if (const uint32_t rc = CheckSessionCipher(request, outputLength)) return rc;
    if (const auto stop = SizeQueryOrTooSmall(output, outputLength, inputLength)) return *stop;

    const CipherChain chain = SessionCipherChain(request);
    uint32_t produced = 0;
    if (const uint32_t rc =
            SendCipherChain(*this, chain, input, inputLength, output, inputLength, &produced)) {
        return rc;
    }
    *outputLength = inputLength;
    return QAV_OK;
}

}  // namespace qav
