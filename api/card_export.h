// The shape every card export shares: the prologue (initialised, a known
// handle), the export's own argument checks, then inside the card
// transaction the seal application probe and the work on the card.
#pragma once

#include <cstdint>

#include "api/frame.h"
#include "card/seal/card_seal.h"
#include "device/seal_application.h"

namespace qav::api {

// Whether the probe runs, and the caller's skip value when it does (1 skips).
struct Probe {
    bool run;
    uint32_t skip;
};
inline constexpr Probe kProbe{true, 0};
inline constexpr Probe kNoProbe{false, 0};
inline constexpr Probe ProbeUnless(uint32_t skip) noexcept { return Probe{true, skip}; }

inline uint32_t NoChecks() noexcept { return QAV_OK; }

// checks() → result; work(CDevice&, CCardSeal&) → result.
template <typename Checks, typename Work>
uint32_t RunCardExport(QAV_HANDLE handle, Checks&& checks, Probe probe, Work&& work) noexcept {
    return RunCardSequence(handle, checks, [&](CDevice& device) -> uint32_t {
        if (probe.run) {
            if (const uint32_t rc = SelectSealApplication(device, 0, probe.skip)) return rc;
        }
        CCardSeal* card = SealCardOf(device);
        if (card == nullptr) return QAV_E_NOT_SUPPORTED;
        return work(device, *card);
    });
}

// The thin exports: no checks of their own, one card operation.
template <typename Work>
uint32_t ThinExport(QAV_HANDLE handle, Probe probe, Work&& work) noexcept {
    return RunCardExport(handle, NoChecks, probe,
                         [&](CDevice&, CCardSeal& card) { return work(card); });
}

}  // namespace qav::api
