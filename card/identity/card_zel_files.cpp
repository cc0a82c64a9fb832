// The identity card's file reads and writes and its secured block write.
#include <array>

#include "card/common/binary_transfer.h"
#include "card/common/secured_command.h"
#include "card/identity/card_zel.h"

namespace qav {

namespace {

// The block the card takes: its length 09 and nine zero bytes.
constexpr std::array<uint8_t, 10> kSecuredBlock = {0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// Ten bytes pad to at most 16; the callback gets a little more room.
constexpr uint32_t kSecuredBlockRoom = 26;

}  // namespace

uint32_t CCardZel::UpdateBinary(uint32_t offset, const uint8_t* data, uint32_t length,
                                uint32_t challengeLength, QAV_EncryptCallback encrypt,
                                QAV_MacCallback mac, uintptr_t context1, uintptr_t context2) {
    BinaryWrite write;
    write.offset = offset;
    write.data = data;
    write.length = length;
    write.messaging = {challengeLength, encrypt, mac, context1, context2};
    if (const uint32_t rc = CheckBinaryWrite(write)) return rc;
    const ChallengeSource challenge = [this](uint8_t* out, uint32_t size) {
        return GetChallenge(out, size, 0);
    };
    return WriteBinaryPieces(*this, challenge, write, ProgressReport(nullptr, 0));
}

uint32_t CCardZel::ReadBinary(uint32_t offset, uint8_t* buffer, uint32_t* length, uint32_t) {
    if (const uint32_t rc = CheckBinaryRead(offset, buffer, length)) return rc;
    const ProgressReport silent(nullptr, 0);
    if (buffer == nullptr) return QueryBinaryLength(*this, offset, silent);
    if (*length == 0) return QAV_OK;
    return ReadBinaryPieces(*this, offset, buffer, *length, silent);
}

uint32_t CCardZel::WriteSecuredBlock(uint32_t marker, QAV_EncryptCallback encrypt,
                                     uint32_t challengeLength, QAV_MacCallback mac,
                                     uintptr_t context1, uintptr_t context2) {
    if (marker == 0 || encrypt == nullptr || mac == nullptr) return QAV_E_NULL_POINTER;
    const ChallengeSource challenge = [this](uint8_t* out, uint32_t size) {
        return GetChallenge(out, size, 0);
    };
    CApdu apdu(Format());
    apdu.SetHeader({0x84, 0xD4, 0x00, 0x00});
    const SecureMessaging messaging{challengeLength, encrypt, mac, context1, context2};
    const uint32_t rc =
        BuildSecuredCommand(apdu, challenge, messaging, kSecuredBlock.data(),
                            static_cast<uint32_t>(kSecuredBlock.size()), kSecuredBlockRoom);
    if (rc != QAV_OK) return rc;
    return SendApdu(&apdu);
}

}  // namespace qav
