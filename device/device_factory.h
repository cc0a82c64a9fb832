// Owns the PC/SC master reader; lists readers and creates devices.
#pragma once

#include <cstdint>
#include <memory>

#include "device/device.h"
#include "reader/reader_pcsc.h"

namespace qav {

inline constexpr uint32_t kCardFamilyIdentity = 0;
inline constexpr uint32_t kCardFamilySeal = 2;

class CDeviceFactory {
public:
    CDeviceFactory() = default;
    ~CDeviceFactory();
    CDeviceFactory(const CDeviceFactory&) = delete;
    CDeviceFactory& operator=(const CDeviceFactory&) = delete;

    // Starting a started factory keeps its family.
    uint32_t Start(uint32_t family, uint32_t reserved);
    // A failed context release leaves the factory started with its master.
    uint32_t Stop(uint32_t reserved);
    uint32_t List(uint32_t filter, char* buffer, uint32_t* length, uint32_t reserved);

    // Connects the master to the reader and builds the device: a copy of the
    // master as its reader (a polling variant for some identity-card
    // readers) and the card object of the factory's family. When the objects
    // cannot be made, the connection is released again.
    uint32_t Open(const char* name, std::unique_ptr<CDevice>* device, uint32_t reserved);
    // Disconnects the device's card. A failure leaves the device open, except
    // a lost service: the connection is gone with it, so the device counts as
    // closed. The caller destroys the device after success.
    uint32_t Close(CDevice* device, uint32_t reserved);

    bool Started() const noexcept { return started_; }
    uint32_t CardFamily() const noexcept { return cardFamily_; }
    CReaderPCSC* MasterReader() noexcept { return masterReader_.get(); }

private:
    bool started_ = false;
    uint32_t cardFamily_ = kCardFamilySeal;
    std::unique_ptr<CReaderPCSC> masterReader_;
};

}  // namespace qav
