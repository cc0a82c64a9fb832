// Opening and closing devices: which reader and card classes a device gets.
#include <cstring>
#include <new>

#include "card/identity/card_zel.h"
#include "card/seal/card_seal.h"
#include "device/device_factory.h"
#include "platform/pcsc.h"
#include "qavseal/qavseal.h"
#include "reader/reader_variants.h"

namespace qav {
namespace {

// Object creation failing is reported by code, not by exception.
template <typename T, typename... Args>
std::unique_ptr<T> TryMake(Args&&... args) noexcept {
    try {
        return std::make_unique<T>(std::forward<Args>(args)...);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The class follows the reader's name, so the device's own reader can be
// made before it connects and its Transmit serves the probe.
std::unique_ptr<CReaderPCSC> MakeReader(uint32_t family, const char* name) noexcept {
    if (family == kCardFamilyIdentity) {
        switch (ClassifyReader(name)) {
            case ReaderKind::kZhiFuTong:
                return TryMake<CReaderZhiFuTong>();
            case ReaderKind::kDongLian:
            case ReaderKind::kZelOther:
                return TryMake<CReaderDongLian>();
            default:
                break;
        }
    }
    return TryMake<CReaderPCSC>();
}

std::unique_ptr<CCard> MakeCard(uint32_t family, CReader* reader) noexcept {
    if (family == kCardFamilySeal) return TryMake<CCardSeal>(reader);
    if (family == kCardFamilyIdentity) return TryMake<CCardZel>(reader);
    return nullptr;
}

}  // namespace

uint32_t CDeviceFactory::Open(const char* name, std::unique_ptr<CDevice>* device,
                              uint32_t /*reserved*/) {
    uint32_t family = 0;
    {
        const std::lock_guard<std::mutex> lock(lock_);
        if (!started_) return QAV_E_NOT_INITIALIZED;
        family = cardFamily_;
    }
    if (name == nullptr || device == nullptr) return QAV_E_NULL_POINTER;
    if (family != kCardFamilySeal && family != kCardFamilyIdentity) return QAV_E_BAD_SELECTOR;

    std::unique_ptr<CReaderPCSC> reader = MakeReader(family, name);
    if (!reader) return QAV_E_READER_OBJECT;
    // The service calls run without any lock: the connection may wait for
    // another connection's transaction. The reader's destructor releases
    // its context on every failure path.
    if (const uint32_t rc = reader->EstablishContext(0)) return rc;
    if (const uint32_t rc = reader->Connect(name, 0)) return rc;

    std::unique_ptr<CCard> card = MakeCard(family, reader.get());
    auto opened = TryMake<CDevice>();
    if (!card || !opened) {
        reader->Disconnect(0);
        return !card ? QAV_E_CARD_OBJECT : QAV_E_NO_MEMORY;
    }
    opened->reader = std::move(reader);
    opened->card = std::move(card);
    // Service reader names are far shorter than the field; a longer name
    // could not have been connected above.
    std::strncpy(opened->name.data(), name, CDevice::kNameCapacity - 1);
    *device = std::move(opened);
    return QAV_OK;
}

uint32_t CDeviceFactory::Close(CDevice* device, uint32_t /*reserved*/) {
    // The device has a context of its own: a factory a watch stopped while
    // the service was gone must not keep it from closing.
    if (device == nullptr) return QAV_E_NULL_POINTER;
    const uint32_t rc = device->reader ? device->reader->Disconnect(0) : QAV_OK;
    if (rc != QAV_OK && !platform::IsLostContext(rc)) return rc;
    return QAV_OK;
}

}  // namespace qav
