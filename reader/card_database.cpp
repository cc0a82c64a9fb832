#include "reader/card_database.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace qav {

namespace {
constexpr size_t kAtrValueCapacity = 260;
}

uint32_t IsCardRegistered(const uint8_t* atr, uint32_t atrLength) {
    if (atr == nullptr) return 0;
    platform::RegistryKey database;
    if (platform::RegistryKey::Open(kCardDatabaseKey, &database) != platform::kRegSuccess) {
        return 0;
    }
    uint32_t count = 0;
    if (database.SubkeyCount(&count) != platform::kRegSuccess) return 0;
    for (uint32_t index = 0; index < count; ++index) {
        std::string name;
        platform::RegistryKey entry;
        uint32_t type = 0;
        std::vector<uint8_t> value;
        if (database.EnumSubkey(index, &name) != platform::kRegSuccess ||
            database.OpenSubkey(name, &entry) != platform::kRegSuccess ||
            entry.QueryValue("ATR", &type, &value, kAtrValueCapacity) != platform::kRegSuccess) {
            return 0;
        }
        if (value.size() == atrLength &&
            (atrLength == 0 || std::memcmp(value.data(), atr, atrLength) == 0)) {
            return 1;
        }
    }
    return 0;
}

uint32_t RegisterCard(const char* cardName, const uint8_t* atr, uint32_t atrLength,
                      const uint8_t* mask, uint32_t maskLength, const char* providerName,
                      const char* cardModuleName) {
    if (cardName == nullptr || providerName == nullptr || cardModuleName == nullptr ||
        (atr == nullptr && atrLength != 0) || (mask == nullptr && maskLength != 0)) {
        return platform::kRegInvalidParameter;
    }
    char path[260];
    std::snprintf(path, sizeof path, "%s\\%s", kCardDatabaseKey, cardName);
    platform::RegistryKey entry;
    if (const uint32_t rc = platform::RegistryKey::Create(path, &entry)) return rc;
    const auto text = [](const char* s) { return reinterpret_cast<const uint8_t*>(s); };
    const auto textLength = [](const char* s) { return static_cast<uint32_t>(std::strlen(s) + 1); };
    if (const uint32_t rc = entry.SetValue("ATR", platform::kRegBinary, atr, atrLength)) return rc;
    if (const uint32_t rc = entry.SetValue("ATRMask", platform::kRegBinary, mask, maskLength)) {
        return rc;
    }
    if (const uint32_t rc = entry.SetValue("Smart Card Key Storage Provider", platform::kRegSz,
                                           text(providerName), textLength(providerName))) {
        return rc;
    }
    return entry.SetValue("80000001", platform::kRegSz, text(cardModuleName),
                          textLength(cardModuleName));
}

void CardEntryName(const uint8_t* atr, uint32_t atrLength, char (&name)[260]) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::strcpy(name, "Card_");
    size_t at = 5;
    for (uint32_t i = 0; i < atrLength && at + 2 < sizeof name; ++i) {
        name[at++] = kHex[atr[i] >> 4];
        name[at++] = kHex[atr[i] & 0x0F];
    }
    name[at] = '\0';
}

}  // namespace qav
