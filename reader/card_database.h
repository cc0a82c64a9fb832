// The per-user smart-card database: a card whose ATR is registered is used
// without a probe; a card that passes the probe is registered so the
// system's own provider and card module serve it.
#pragma once

#include <cstdint>

namespace qav {

inline constexpr char kCardDatabaseKey[] = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";
inline constexpr char kCardProviderName[] = "ZEL Cryptographic Service Provider v1.0";
inline constexpr char kCardModuleName[] = "ZelCardMiniDriver.dll";

// 1 if some entry's "ATR" value equals the ATR byte for byte, else 0. Never
// fails: any registry error answers 0. The scan stops at the first entry it
// cannot read, so an entry without "ATR" hides the ones after it. The
// entries are kept in memory and read again once the store has changed;
// files edited by hand are seen after the next registration.
uint32_t IsCardRegistered(const uint8_t* atr, uint32_t atrLength);

// Lookups of several ATRs in a row (one listing's readers) that read the
// store's change count once, when the lookup is made, instead of once each.
class CardLookup {
public:
    CardLookup();
    bool Registered(const uint8_t* atr, uint32_t atrLength) const;

private:
    uint64_t generation_;
};

// Creates or rewrites the entry; returns 0 or the first registry error.
uint32_t RegisterCard(const char* cardName, const uint8_t* atr, uint32_t atrLength,
                      const uint8_t* mask, uint32_t maskLength, const char* providerName,
                      const char* cardModuleName);

// "Card_" followed by the ATR in upper-case hexadecimal.
void CardEntryName(const uint8_t* atr, uint32_t atrLength, char (&name)[260]);

}  // namespace qav
