// What the card exports share on the card side: making the seal application
// current with the fewest SELECTs, files by identifier, the container table.
#pragma once

#include <cstdint>

#include "device/container_record.h"
#include "device/device.h"
#include "qavseal/qavseal.h"
#include "reader/iso_commands.h"

namespace qav {

class CCardSeal;

inline constexpr uint16_t kAbilityFile = 0x4000;
inline constexpr uint16_t kMasterFile = 0x3F00;
inline constexpr uint16_t kContainerCountFile = 0x3001;
inline constexpr uint16_t kContainerTableFile = 0x0FFF;
inline constexpr uint32_t kAbilityInfoSize = 64;

// The device's card as a seal card, or null for another card class.
CCardSeal* SealCardOf(const CDevice& device) noexcept;

// skip 1: nothing. Cards with one of five known ATRs are left alone; else
// file 4000 (unless byNameOnly), then the name, then 3F00 and the name again.
uint32_t SelectSealApplication(const CDevice& device, uint32_t byNameOnly, uint32_t skip);

uint32_t ReadCardFile(const CDevice& device, uint32_t fid, uint32_t offset, uint8_t* out,
                      uint32_t* length, QAV_ProgressCallback progress, uintptr_t user1,
                      uint32_t childOfCurrent);
uint32_t WriteCardFile(const CDevice& device, uint32_t fid, uint32_t offset, const uint8_t* data,
                       uint32_t dataLength, uint32_t challengeLength, QAV_EncryptCallback encrypt,
                       QAV_MacCallback mac, QAV_ProgressCallback progress, uintptr_t user1,
                       uintptr_t user2);

// table null: *size gets count × 60 from file 3001. Otherwise file 0FFF.
uint32_t ReadContainerTable(const CDevice& device, uint8_t* table, uint32_t* size);

// Exact, case-sensitive name match. QAV_E_NO_CONTAINER when none matches.
uint32_t FindContainer(const CDevice& device, const char* name, ContainerRecord* record,
                       uint32_t* index);

}  // namespace qav
