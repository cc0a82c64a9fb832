#include "device/device.h"

namespace qav {

DeviceOwnership::DeviceOwnership(CDevice& device) : device_(device), lock_(device.owner) {
    ++device_.ownerDepth;
}

DeviceOwnership::~DeviceOwnership() {
    if (--device_.ownerDepth == 0 && device_.disconnectWhenIdle) {
        device_.disconnectWhenIdle = false;
        // Errors change nothing: the caller was told the device is closed.
        if (device_.reader) device_.reader->Disconnect(0);
    }
}

}  // namespace qav
