#include "device/device_factory.h"

#include "platform/pcsc.h"
#include "qavseal/qavseal.h"

namespace qav {

// Does not release the context: that is a service call, and destruction may
// run at process exit. QAV_Finalize stops the factory explicitly.
CDeviceFactory::~CDeviceFactory() {
    if (masterReader_) masterReader_->AbandonContext();
}

bool CDeviceFactory::Started() const {
    const std::lock_guard<std::mutex> lock(lock_);
    return started_;
}

uint32_t CDeviceFactory::CardFamily() const {
    const std::lock_guard<std::mutex> lock(lock_);
    return cardFamily_;
}

uint32_t CDeviceFactory::Start(uint32_t family, uint32_t /*reserved*/) {
    {
        const std::lock_guard<std::mutex> lock(lock_);
        if (started_) return QAV_OK;
    }
    if (family != kCardFamilyIdentity && family != kCardFamilySeal) return QAV_E_BAD_SELECTOR;
    // The context is made without the lock: the service may take its time.
    auto master = std::make_shared<CReaderPCSC>();
    if (const uint32_t rc = master->EstablishContext(0)) return rc;
    const std::lock_guard<std::mutex> lock(lock_);
    // Another thread's start won the race: its master stays, this one goes
    // (its destructor releases the context it made).
    if (started_) return QAV_OK;
    masterReader_ = std::move(master);
    cardFamily_ = family;
    started_ = true;
    return QAV_OK;
}

uint32_t CDeviceFactory::Stop(uint32_t /*reserved*/) {
    std::shared_ptr<CReaderPCSC> master;
    {
        const std::lock_guard<std::mutex> lock(lock_);
        if (!started_) return QAV_OK;
        master = std::move(masterReader_);
        started_ = false;
    }
    const uint32_t rc = master->ReleaseContext(0);
    // A context the service already lost is released all the same.
    if (rc != QAV_OK && !platform::IsLostContext(rc)) {
        // Still started, with its master, unless a start came in between.
        const std::lock_guard<std::mutex> lock(lock_);
        if (!started_) {
            masterReader_ = std::move(master);
            started_ = true;
        }
        return rc;
    }
    return QAV_OK;
}

uint32_t CDeviceFactory::Restart(uint32_t /*reserved*/) {
    auto master = std::make_shared<CReaderPCSC>();
    if (const uint32_t rc = master->EstablishContext(0)) return rc;
    std::shared_ptr<CReaderPCSC> old;
    {
        const std::lock_guard<std::mutex> lock(lock_);
        if (!started_) return QAV_OK;  // the new master releases its context
        old = std::move(masterReader_);
        masterReader_ = std::move(master);
    }
    // The old context went with the old service: its answer tells nothing.
    old->ReleaseContext(0);
    return QAV_OK;
}

uint32_t CDeviceFactory::List(uint32_t filter, char* buffer, uint32_t* length,
                              uint32_t /*reserved*/, bool* recovered) {
    {
        const std::lock_guard<std::mutex> lock(lock_);
        if (!started_) return QAV_E_NOT_INITIALIZED;
        if (length == nullptr) return QAV_E_NULL_POINTER;
    }
    return RunListing(
        [&](CReaderPCSC& lister) { return lister.ListReaders(buffer, length, filter, 0); },
        recovered);
}

uint32_t CDeviceFactory::List(uint32_t filter, std::vector<char>* names, bool* recovered) {
    return RunListing([&](CReaderPCSC& lister) { return lister.ListReaderNames(names, filter); },
                      recovered);
}

template <typename Work>
uint32_t CDeviceFactory::RunListing(Work&& work, bool* recovered) {
    std::unique_ptr<CReaderPCSC> lister;
    {
        const std::lock_guard<std::mutex> lock(lock_);
        if (!started_) return QAV_E_NOT_INITIALIZED;
        lister = std::make_unique<CReaderPCSC>(*masterReader_);
        lister->TakeListingMemoryFrom(*masterReader_);
    }
    const uint32_t rc = work(*lister);
    // A copy owns a context only when it made one in place of a lost one.
    if (recovered != nullptr) *recovered = lister->OwnsContext();
    const std::lock_guard<std::mutex> lock(lock_);
    // A factory stopped meanwhile has no master to learn from; the lister
    // then releases whatever context it made.
    if (started_) masterReader_->TakeListingResults(*lister);
    return rc;
}

}  // namespace qav
