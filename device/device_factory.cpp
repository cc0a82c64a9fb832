#include "device/device_factory.h"

#include "qavseal/qavseal.h"

namespace qav {

// Does not release the context: that is a service call, and destruction may
// run at process exit. QAV_Finalize stops the factory explicitly.
CDeviceFactory::~CDeviceFactory() = default;

uint32_t CDeviceFactory::Start(uint32_t family, uint32_t /*reserved*/) {
    if (started_) return QAV_OK;
    if (family != kCardFamilyIdentity && family != kCardFamilySeal) return QAV_E_BAD_SELECTOR;
    masterReader_ = std::make_unique<CReaderPCSC>();
    cardFamily_ = family;
    if (const uint32_t rc = masterReader_->EstablishContext(0)) {
        masterReader_.reset();
        return rc;
    }
    started_ = true;
    return QAV_OK;
}

uint32_t CDeviceFactory::Stop(uint32_t /*reserved*/) {
    if (!started_) return QAV_OK;
    if (masterReader_) {
        if (const uint32_t rc = masterReader_->ReleaseContext(0)) return rc;
        masterReader_.reset();
    }
    started_ = false;
    return QAV_OK;
}

uint32_t CDeviceFactory::List(uint32_t filter, char* buffer, uint32_t* length,
                              uint32_t /*reserved*/) {
    if (!started_) return QAV_E_NOT_INITIALIZED;
    if (length == nullptr) return QAV_E_NULL_POINTER;
    return masterReader_->ListReaders(buffer, length, filter, 0);
}

}  // namespace qav
