// Opening and closing devices: which reader and card classes a device gets.
#include <cstring>
#include <new>

#include "card/card_seal.h"
#include "card/card_zel.h"
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

std::unique_ptr<CReader> MakeReader(uint32_t family, const CReaderPCSC& master) noexcept {
    if (family == kCardFamilyIdentity) {
        switch (master.Kind()) {
            case ReaderKind::kZhiFuTong:
                return TryMake<CReaderZhiFuTong>(master);
            case ReaderKind::kDongLian:
            case ReaderKind::kZelOther:
                return TryMake<CReaderDongLian>(master);
            default:
                break;
        }
    }
    return TryMake<CReaderPCSC>(master);
}

std::unique_ptr<CCard> MakeCard(uint32_t family, CReader* reader) noexcept {
    if (family == kCardFamilySeal) return TryMake<CCardSeal>(reader);
    if (family == kCardFamilyIdentity) return TryMake<CCardZel>(reader);
    return nullptr;
}

}  // namespace

uint32_t CDeviceFactory::Open(const char* name, std::unique_ptr<CDevice>* device,
                              uint32_t /*reserved*/) {
    if (!started_) return QAV_E_NOT_INITIALIZED;
    if (name == nullptr || device == nullptr) return QAV_E_NULL_POINTER;
    if (cardFamily_ != kCardFamilySeal && cardFamily_ != kCardFamilyIdentity) {
        return QAV_E_BAD_SELECTOR;
    }
    if (const uint32_t rc = masterReader_->Connect(name, 0)) return rc;

    std::unique_ptr<CReader> reader = MakeReader(cardFamily_, *masterReader_);
    std::unique_ptr<CCard> card = MakeCard(cardFamily_, reader.get());
    auto opened = TryMake<CDevice>();
    if (!card || !reader || !opened) {
        // Nothing is left behind: the connection goes with the objects.
        masterReader_->Disconnect(0);
        if (!card) return QAV_E_CARD_OBJECT;
        return !reader ? QAV_E_READER_OBJECT : QAV_E_NO_MEMORY;
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
    if (!started_) return QAV_E_NOT_INITIALIZED;
    if (device == nullptr) return QAV_E_NULL_POINTER;
    const uint32_t rc = device->reader ? device->reader->Disconnect(0) : QAV_OK;
    if (rc != QAV_OK && !platform::IsLostContext(rc)) return rc;
    return QAV_OK;
}

}  // namespace qav
