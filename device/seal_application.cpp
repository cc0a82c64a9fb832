#include "device/seal_application.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "card/common/binary_transfer.h"
#include "card/seal/card_seal.h"

namespace qav {
namespace {

// Cards that carry no seal application to select.
constexpr size_t kKnownAtrSlot = 24;
constexpr std::array<std::array<uint8_t, kKnownAtrSlot>, 5> kKnownAtrs = {{
    {0x3B, 0x7E, 0x96, 0x00, 0x00, 0x00, 0x81, 0x50, 0x32, 0x60, 0x86, 0x43, 0x20, 0x16, 0x03, 0x18,
     0x16, 0x13, 0x44},
    {0x3B, 0x7E, 0x96, 0x00, 0x00, 0x00, 0x81, 0x50, 0x32, 0x60, 0x86, 0x43, 0x20, 0x16, 0x03, 0x18,
     0x16, 0x13, 0x14},
    {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x00, 0x81, 0x50, 0x32, 0x60,
     0x86, 0x43, 0x20, 0x16, 0x06, 0x14, 0x10, 0x59, 0x41, 0x00},
    {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x00, 0x81, 0x50, 0x32, 0x60,
     0x86, 0x43, 0x20, 0x16, 0x06, 0x14, 0x10, 0x59, 0x22, 0x00},
    {0x3B, 0x7F, 0x96, 0x00, 0x00, 0x00, 0x81, 0x50, 0x32, 0x60,
     0x86, 0x43, 0x20, 0x16, 0x06, 0x14, 0x10, 0x59, 0x59, 0x00},
}};

constexpr uint32_t kMaxFileId = 0xFFFF;
constexpr uint32_t kAtrBufferSize = 64;

bool IsKnownAtr(const uint8_t* atr, uint32_t length) {
    // Compared over the card's ATR length against the zero-padded slot. An
    // empty reader's ATR is empty, and no known card: clearing the security
    // state must not report success for a card it never reached.
    if (length == 0 || length > kKnownAtrSlot) return false;
    return std::any_of(kKnownAtrs.begin(), kKnownAtrs.end(), [&](const auto& slot) {
        return std::memcmp(slot.data(), atr, length) == 0;
    });
}

// The selection's own answer is not kept: one of any length the card layer
// accepts is no failure of the caller's operation.
uint32_t SelectById(CCardSeal& card, uint32_t fid, uint32_t childOfCurrent = 0) {
    uint32_t length = 0;
    return card.SelectFile(0, nullptr, 0, static_cast<int32_t>(fid), nullptr, &length,
                           childOfCurrent);
}

uint32_t SelectByName(CCardSeal& card) {
    uint32_t length = 0;
    return card.SelectFile(1, kSealApplicationName, sizeof kSealApplicationName, 0, nullptr,
                           &length, 0);
}

}  // namespace

CCardSeal* SealCardOf(const CDevice& device) noexcept {
    return device.card ? device.card->AsSealCard() : nullptr;
}

uint32_t SelectSealApplication(const CDevice& device, uint32_t byNameOnly, uint32_t skip) {
    if (skip == 1) return QAV_OK;
    CCardSeal* card = SealCardOf(device);
    if (card == nullptr || !device.reader) return QAV_E_NOT_SUPPORTED;

    std::array<uint8_t, kAtrBufferSize> atr{};
    uint32_t atrLength = kAtrBufferSize;
    if (const uint32_t rc = device.reader->GetReaderATR(device.reader->ConnectedName(), atr.data(),
                                                        &atrLength, 0)) {
        return rc;
    }
    if (IsKnownAtr(atr.data(), atrLength)) return QAV_OK;

    if (byNameOnly == 0 && SelectById(*card, kAbilityFile) == QAV_OK) return QAV_OK;
    if (SelectByName(*card) == QAV_OK) return QAV_OK;
    SelectById(*card, kMasterFile);  // a way back from wherever the card is
    return SelectByName(*card);
}

uint32_t ReadCardFile(const CDevice& device, uint32_t fid, uint32_t offset, uint8_t* out,
                      uint32_t* length, QAV_ProgressCallback progress, uintptr_t user1,
                      uint32_t childOfCurrent) {
    CCardSeal* card = SealCardOf(device);
    if (card == nullptr) return QAV_E_NOT_SUPPORTED;
    // Every argument is checked before the file is selected.
    if (fid > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    if (const uint32_t rc = CheckBinaryRead(offset, out, length)) return rc;
    if (const uint32_t rc = SelectById(*card, fid, childOfCurrent)) return rc;
    return card->ReadBinary(offset, out, length, progress, user1, 0);
}

uint32_t WriteCardFile(const CDevice& device, uint32_t fid, uint32_t offset, const uint8_t* data,
                       uint32_t dataLength, uint32_t challengeLength, QAV_EncryptCallback encrypt,
                       QAV_MacCallback mac, QAV_ProgressCallback progress, uintptr_t user1,
                       uintptr_t user2) {
    CCardSeal* card = SealCardOf(device);
    if (card == nullptr) return QAV_E_NOT_SUPPORTED;
    if (fid > kMaxFileId) return QAV_E_ID_TOO_LARGE;
    const BinaryWrite write{
        offset, data, dataLength, {challengeLength, encrypt, mac, user1, user2}};
    if (const uint32_t rc = CheckBinaryWrite(write)) return rc;
    if (const uint32_t rc = SelectById(*card, fid)) return rc;
    return card->UpdateBinary(offset, data, dataLength, challengeLength, encrypt, mac, progress,
                              user1, user2);
}

uint32_t ReadContainerTable(const CDevice& device, uint8_t* table, uint32_t* size) {
    if (size == nullptr) return QAV_E_NULL_POINTER;
    if (table != nullptr) {
        return ReadCardFile(device, kContainerTableFile, 0, table, size, nullptr, 0, 0);
    }
    uint8_t count = 0;
    uint32_t countLength = 1;
    if (const uint32_t rc =
            ReadCardFile(device, kContainerCountFile, 0, &count, &countLength, nullptr, 0, 0)) {
        return rc;
    }
    *size = static_cast<uint32_t>(count) * kContainerRecordSize;
    return QAV_OK;
}

uint32_t FindContainer(const CDevice& device, const char* name, ContainerRecord* record,
                       uint32_t* index) {
    if (name == nullptr || record == nullptr) return QAV_E_NULL_POINTER;
    uint32_t size = 0;
    if (const uint32_t rc = ReadContainerTable(device, nullptr, &size)) return rc;
    std::vector<uint8_t> table(size);
    if (size > 0) {
        if (const uint32_t rc = ReadContainerTable(device, table.data(), &size)) return rc;
    }
    const size_t nameLength = std::strlen(name);
    for (uint32_t i = 0; i + 1 <= size / kContainerRecordSize; ++i) {
        const uint8_t* entry = table.data() + static_cast<size_t>(i) * kContainerRecordSize;
        const size_t entryLength =
            strnlen(reinterpret_cast<const char*>(entry), kContainerRecordSize);
        if (entryLength == nameLength && std::memcmp(entry, name, nameLength) == 0) {
            std::memcpy(record->bytes.data(), entry, kContainerRecordSize);
            if (index != nullptr) *index = i;
            return QAV_OK;
        }
    }
    return QAV_E_NO_CONTAINER;
}

uint32_t KeyTypeBits(uint32_t keyType) noexcept {
    switch (keyType) {
        case 1:
            return 1024;
        case 2:
            return 2048;
        case 0x20:
            return 1280;
        default:
            return 0;
    }
}

}  // namespace qav
