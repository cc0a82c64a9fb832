// The seal card's file reads and writes, and its reset command.
#include "card/common/binary_transfer.h"
#include "card/seal/card_seal.h"

namespace qav {

uint32_t CCardSeal::UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t dataLength,
                                 uint32_t challengeLength, QAV_EncryptCallback encrypt,
                                 QAV_MacCallback mac, QAV_ProgressCallback progress,
                                 uintptr_t user1, uintptr_t user2) {
    BinaryWrite write;
    write.offset = offset;
    write.data = data;
    write.length = dataLength;
    write.messaging = {challengeLength, encrypt, mac, user1, user2};
    if (const uint32_t rc = CheckBinaryWrite(write)) return rc;
    const ChallengeSource challenge = [this](uint8_t* out, uint32_t length) {
        return GetChallenge(out, length, 0);
    };
    return WriteBinaryPieces(*this, challenge, write, ProgressReport(progress, user1));
}

uint32_t CCardSeal::ReadBinary(uint32_t offset, uint8_t* out, uint32_t* length,
                               QAV_ProgressCallback progress, uintptr_t user1, uint32_t) {
    if (const uint32_t rc = CheckBinaryRead(offset, out, length)) return rc;
    const ProgressReport report(progress, user1);
    if (out == nullptr) return QueryBinaryLength(*this, offset, report);
    if (*length == 0) return QAV_OK;
    return ReadBinaryPieces(*this, offset, out, *length, report);
}

uint32_t CCardSeal::Reset(uint32_t) {
    // Lc 00 and no data.
    CApdu apdu = CApdu::WithData(Format(), {0x00, 0x4A, 0x00, 0x00}, nullptr, 0);
    return SendApdu(&apdu);
}

}  // namespace qav
