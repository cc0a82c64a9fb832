#include "card/common/select_command.h"

#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"

namespace qav {
namespace {

constexpr uint32_t kMaxNameLength = 255;

}  // namespace

uint32_t CheckSelectArguments(const uint8_t* name, uint32_t nameLength, bool fidFits) noexcept {
    if (name != nullptr) {
        if (nameLength == 0 || nameLength > kMaxNameLength) return QAV_E_BAD_LENGTH;
    } else if (!fidFits) {
        return QAV_E_ID_TOO_LARGE;
    }
    return QAV_OK;
}

uint32_t CheckSelectForm(bool byName, const uint8_t* name, bool fidFits) noexcept {
    if (byName && name == nullptr) return QAV_E_NULL_POINTER;
    if (!byName && !fidFits) return QAV_E_ID_TOO_LARGE;
    return QAV_OK;
}

CApdu SelectCommand(const CApduFormat* format, bool byName, const uint8_t* name,
                    uint32_t nameLength, uint32_t fid, uint8_t p1ById) {
    ApduHeader header = kSelectHeader;
    if (byName) {
        header.p1 = kSelectByNameP1;
        return CApdu::WithData(format, header, name, nameLength);
    }
    header.p1 = p1ById;
    const uint8_t id[2] = {static_cast<uint8_t>(fid >> 8), static_cast<uint8_t>(fid)};
    return CApdu::WithData(format, header, id, sizeof(id));
}

}  // namespace qav
