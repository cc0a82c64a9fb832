// File contents moved in pieces with READ BINARY and UPDATE BINARY, plain or
// secured, as both card classes do it. P1 P2 carry each piece's position.
#pragma once

#include <cstdint>

#include "card/common/card.h"
#include "card/common/secured_command.h"
#include "qavseal/qavseal.h"

namespace qav {

inline constexpr uint32_t kMaxFileOffset = 0xFFFF;
inline constexpr uint32_t kReadPieceSize = 240;
inline constexpr uint32_t kWritePieceSize = 250;
// A secured piece travels as its length byte and the piece, padded by the
// caller's cipher to whole 16-byte blocks (a full block more when already
// aligned): 238 + 1 bytes give at most 240 bytes of cryptogram, which with
// the 4-byte MAC still fits a one-byte Lc. 250 would give 256.
inline constexpr uint32_t kSecuredWritePieceSize = 238;

// Reports done/total as a whole percentage, truncated; no callback, no report.
class ProgressReport {
public:
    ProgressReport(QAV_ProgressCallback callback, uintptr_t user) noexcept
        : callback_(callback), user_(user) {}
    void Percent(uint32_t percent) const;
    void Done(uint32_t done, uint32_t total) const;

private:
    QAV_ProgressCallback callback_;
    uintptr_t user_;
};

// A position is two bytes: every byte moved must lie below 0x10000, or P1 P2
// would wrap onto the start of the file.
bool FitsFilePositions(uint32_t offset, uint32_t length) noexcept;

struct BinaryWrite {
    uint32_t offset = 0;
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    SecureMessaging messaging;  // secured when messaging.mac is set
};

// The argument checks of UPDATE BINARY, in order: offset above 0xFFFF
// (0xE017001E), data missing (0xE0170005), bytes past position 0xFFFF
// (0xE0170006); secured only: encrypt missing (0xE0170005).
uint32_t CheckBinaryWrite(const BinaryWrite& write) noexcept;

// The argument checks of READ BINARY, in order: offset above 0xFFFF
// (0xE017001E), length missing (0xE0170005), a length above 0xFFFF
// (0xE0170006); with out, bytes past position 0xFFFF (0xE0170006).
uint32_t CheckBinaryRead(uint32_t offset, const uint8_t* out, const uint32_t* length) noexcept;

// Sends the checked write piece by piece (CLA 04 and a fresh challenge per
// piece when secured), reporting 0 first and then after every piece. The
// first failing piece ends it; earlier pieces stay written.
uint32_t WriteBinaryPieces(CCard& card, const ChallengeSource& challenge, const BinaryWrite& write,
                           const ProgressReport& progress);

// Reads length bytes from offset into out in pieces of 240, reporting 0 first
// and then after every piece. Each piece must come back exactly as long as
// asked: the caller's length stays as it was, so a short piece would leave
// stale bytes the caller takes for file contents (0xE0170032).
uint32_t ReadBinaryPieces(CCard& card, uint32_t offset, uint8_t* out, uint32_t length,
                          const ProgressReport& progress);

// 00 B0 P1 P2 00: the card's answer, or its 6Cxx and the resend, says whether
// the file can be read there. Nothing is kept.
uint32_t QueryBinaryLength(CCard& card, uint32_t offset, const ProgressReport& progress);

}  // namespace qav
