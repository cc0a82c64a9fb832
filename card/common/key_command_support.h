// What the key, cipher, hash and certificate commands share: argument
// limits, the caller-buffer rule, command data built from TLV elements,
// commands sent in pieces, and commands secured by the caller's MAC.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "card/common/card.h"
#include "card/common/card_output.h"
#include "qavseal/qavseal.h"
#include "reader/chunk_cursor.h"
#include "reader/tlv.h"

namespace qav {

inline constexpr uint32_t kMaxFileId = 0xFFFF;
inline constexpr uint32_t kMaxKeyIndex = 4;
inline constexpr uint8_t kKeyCommandClass = 0x80;
inline constexpr uint8_t kMacCommandClass = 0x84;

// Tags of key command data and answers.
namespace tag {
inline constexpr uint8_t kPublicFile = 0xC0;
inline constexpr uint8_t kBlock = 0xC1;
inline constexpr uint8_t kPrivateFile = 0xC2;
inline constexpr uint8_t kModulus = 0xC3;
inline constexpr uint8_t kFirstPrivateComponent = 0xC4;
inline constexpr uint8_t kExponent = 0xC9;
inline constexpr uint8_t kSm2Public = 0xCA;
inline constexpr uint8_t kSm2Private = 0xCB;
}  // namespace tag

// The RSA sizes the cards know, with the code they carry in P1 or P2.
struct RsaSize {
    uint32_t bits;
    uint8_t code;
    uint32_t modulusLengthWord;  // the forced form of a bits/8 block
};
// Null for any other size.
const RsaSize* FindRsaSize(uint32_t bits) noexcept;

// Command data of TLV elements, wiped when it goes: it may carry keys.
class KeyCommandData {
public:
    KeyCommandData() = default;
    ~KeyCommandData();
    KeyCommandData(const KeyCommandData&) = delete;
    KeyCommandData& operator=(const KeyCommandData&) = delete;

    // A two-byte file identifier, high byte first.
    void AddFile(uint8_t elementTag, uint32_t fid);
    // lengthWord holds the length bytes as they go out (0x820100 for
    // 82 01 00); ValueLength(lengthWord) bytes of value follow.
    void Add(uint8_t elementTag, uint32_t lengthWord, const uint8_t* value);
    // The shortest length form.
    void AddValue(uint8_t elementTag, const uint8_t* value, uint32_t length);

    const uint8_t* Data() const noexcept { return bytes_.data(); }
    uint32_t Length() const noexcept { return static_cast<uint32_t>(bytes_.size()); }

private:
    std::vector<uint8_t> bytes_;
};

// A command's piece-position code, by ChunkPosition (only, first, middle,
// last); each command has its own.
using PieceCodes = std::array<uint8_t, 4>;
inline uint8_t PieceCode(const PieceCodes& codes, ChunkPosition position) noexcept {
    return codes[static_cast<size_t>(position)];
}

enum class PieceAnswer {
    kNone,       // no Le on any piece
    kLastPiece,  // Le 00 on the only or last piece
    kEveryPiece  // Le 00 on each piece
};

// Sends data in pieces of pieceSize, each with header(position); the first
// failing piece ends it. The last piece's answer goes to *lastAnswer when
// given.
using PieceHeader = std::function<ApduHeader(ChunkPosition)>;
uint32_t SendInPieces(CCard& card, const uint8_t* data, uint32_t length, uint32_t pieceSize,
                      const PieceHeader& header, PieceAnswer answer,
                      std::vector<uint8_t>* lastAnswer);

// A key pair generated into privateFile and publicFile. Public file 0 keeps
// the public key off the card: it is checked against the caller's buffer
// before anything is sent (a result when that decides the call), and the
// card's answer lands in *answer.
std::optional<uint32_t> KeyPairOutputDecides(uint32_t publicFile, const uint8_t* out,
                                             uint32_t* outLength, uint32_t needed);
uint32_t SendKeyPairGeneration(CCard& card, ApduHeader header, uint32_t publicFile,
                               uint32_t privateFile, std::vector<uint8_t>* answer);

// The caller's MAC over a fresh challenge.
struct CommandMac {
    uint32_t challengeLength = 0;
    QAV_MacCallback mac = nullptr;
    uintptr_t context1 = 0;
    uintptr_t context2 = 0;
};

// Asks the card for a challenge, has the caller MAC the command built with
// Lc counting the MAC to come, and sends data followed by the MAC. A
// challenge or callback failure ends it before anything else is sent.
uint32_t SendWithMac(CCard& card, ApduHeader header, const uint8_t* data, uint32_t length,
                     const CommandMac& mac);

// Answers read as TLV. Each is 0xE0170032 for any other shape.
// Exactly one element, with the given tag (any tag for kAnyTag); its value.
inline constexpr uint32_t kAnyTag = 0x100;
uint32_t ParseSingleElement(const uint8_t* answer, uint32_t length, uint32_t expectedTag,
                            std::vector<uint8_t>* value);
// Exactly C3 then C9: the modulus followed by the exponent.
uint32_t ParseRsaPublicKey(const uint8_t* answer, uint32_t length, std::vector<uint8_t>* key);

}  // namespace qav
