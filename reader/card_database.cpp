#include "reader/card_database.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace qav {

namespace {

constexpr size_t kAtrValueCapacity = 260;

using AtrList = std::vector<std::vector<uint8_t>>;

// The entries' ATRs in the store's order, up to the first entry that cannot
// be read.
AtrList ReadRegisteredAtrs() {
    AtrList atrs;
    platform::RegistryKey database;
    uint32_t count = 0;
    if (platform::RegistryKey::Open(kCardDatabaseKey, &database) != platform::kRegSuccess ||
        database.SubkeyCount(&count) != platform::kRegSuccess) {
        return atrs;
    }
    for (uint32_t index = 0; index < count; ++index) {
        std::string name;
        platform::RegistryKey entry;
        uint32_t type = 0;
        std::vector<uint8_t> value;
        if (database.EnumSubkey(index, &name) != platform::kRegSuccess ||
            database.OpenSubkey(name, &entry) != platform::kRegSuccess ||
            entry.QueryValue("ATR", &type, &value, kAtrValueCapacity) != platform::kRegSuccess) {
            break;
        }
        atrs.push_back(std::move(value));
    }
    return atrs;
}

bool Contains(const AtrList& atrs, const uint8_t* atr, uint32_t atrLength) {
    return std::any_of(atrs.begin(), atrs.end(), [&](const std::vector<uint8_t>& known) {
        return known.size() == atrLength &&
               (atrLength == 0 || std::memcmp(known.data(), atr, atrLength) == 0);
    });
}

// Every listing asks, so the store is read again only after it changed.
struct AtrCache {
    std::mutex lock;
    uint64_t generation = 0;
    AtrList atrs;
};

AtrCache& Cache() {
    static AtrCache cache;
    return cache;
}

}  // namespace

uint32_t IsCardRegistered(const uint8_t* atr, uint32_t atrLength) {
    if (atr == nullptr) return 0;
    return CardLookup().Registered(atr, atrLength) ? 1 : 0;
}

CardLookup::CardLookup() : generation_(platform::RegistryGeneration()) {}

bool CardLookup::Registered(const uint8_t* atr, uint32_t atrLength) const {
    if (atr == nullptr) return false;
    AtrCache& cache = Cache();
    {
        const std::lock_guard<std::mutex> hold(cache.lock);
        if (generation_ != 0 && generation_ == cache.generation) {
            return Contains(cache.atrs, atr, atrLength);
        }
    }
    // The generation was read first: a change landing during the read makes
    // the next lookup read again.
    AtrList atrs = ReadRegisteredAtrs();
    const bool found = Contains(atrs, atr, atrLength);
    const std::lock_guard<std::mutex> hold(cache.lock);
    cache.generation = generation_;
    cache.atrs = std::move(atrs);
    return found;
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
