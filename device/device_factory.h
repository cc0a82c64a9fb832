// Owns the PC/SC master reader; lists readers and creates devices. Exports
// and device-change watches use one factory from several threads: a short
// lock guards the started flag and the master, and no service call is made
// under it (a listing runs on a copy of the master).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

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
    // A new master with a new context, after the service was lost. Until the
    // service gives one the old master stays, so the factory never looks
    // stopped to the exports meanwhile. A stopped factory stays stopped.
    uint32_t Restart(uint32_t reserved);
    // *recovered (when given) tells whether the listing had to make a new
    // context because the service was lost.
    uint32_t List(uint32_t filter, char* buffer, uint32_t* length, uint32_t reserved,
                  bool* recovered = nullptr);
    // The listing whole in one go, without asking for its size first.
    uint32_t List(uint32_t filter, std::vector<char>* names, bool* recovered = nullptr);

    // Builds the device: a reader of its own (a polling variant for some
    // identity-card readers) with its own context, connected to the named
    // reader, and the card object of the factory's family. Nothing of the
    // master is shared, so a listing cannot disturb an open device, and a
    // device waiting for the card's transaction keeps no other device
    // waiting in the service. When the objects cannot be made, nothing is
    // left behind.
    uint32_t Open(const char* name, std::unique_ptr<CDevice>* device, uint32_t reserved);
    // Disconnects the device's card; a lost service counts as disconnected.
    // The caller destroys the device whatever the result: its own context
    // goes with it, and the service ends the connection with that.
    uint32_t Close(CDevice* device, uint32_t reserved);

    bool Started() const;
    uint32_t CardFamily() const;

private:
    // Runs work on a copy of the master (see above); the master then keeps
    // what the copy learnt.
    template <typename Work>
    uint32_t RunListing(Work&& work, bool* recovered);

    mutable std::mutex lock_;
    bool started_ = false;
    uint32_t cardFamily_ = kCardFamilySeal;
    std::shared_ptr<CReaderPCSC> masterReader_;  // shared with a Stop in progress
};

}  // namespace qav
