#include "api/frame.h"

#include <vector>

#include "platform/pcsc.h"
#include "platform/process.h"

namespace qav::api {
namespace {

thread_local const ExportScope* t_scope = nullptr;

// Managers inherited through fork, kept alive and reachable for the life of
// the process; one per fork generation at most.
std::vector<std::shared_ptr<CDeviceManager>>& Abandoned() {
    static auto* const abandoned = new std::vector<std::shared_ptr<CDeviceManager>>();
    return *abandoned;
}

}  // namespace

LibraryState& State() noexcept {
    static LibraryState state;
    return state;
}

std::mutex& StateLock() noexcept {
    static std::mutex lock;
    return lock;
}

std::shared_ptr<CDeviceManager> OwnManager(const LibraryState& state) noexcept {
    if (!state.manager || state.process != platform::CurrentProcessId()) return nullptr;
    return state.manager;
}

void AbandonInherited(LibraryState& state) {
    if (!state.manager || state.process == platform::CurrentProcessId()) return;
    Abandoned().push_back(std::move(state.manager));
    state.usageCount = 0;
}

ExportScope::ExportScope() : previous_(t_scope) {
    {
        const std::lock_guard<std::mutex> lock(StateLock());
        // A manager left by a failed first start, or by a last Finalize
        // still at work, is no initialised library: exports answer "not
        // initialised" rather than an unknown handle.
        if (State().usageCount != 0) manager_ = OwnManager(State());
    }
    t_scope = this;
}

ExportScope::~ExportScope() { t_scope = previous_; }

CDeviceManager* ExportScope::Held() const noexcept { return manager_.get(); }

CDeviceManager* Manager() noexcept {
    if (t_scope != nullptr) return t_scope->Held();
    const std::lock_guard<std::mutex> lock(StateLock());
    return State().usageCount != 0 ? OwnManager(State()).get() : nullptr;
}

uint32_t CheckDevice(QAV_HANDLE handle, CDevice** device) noexcept {
    CDeviceManager* manager = Manager();
    if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
    if (const uint32_t rc = manager->ValidateDevice(handle)) return rc;
    *device = reinterpret_cast<CDevice*>(handle);
    return QAV_OK;
}

uint32_t CardTransaction::Begin() {
    device_.reader->OpenSequence();
    sequence_ = true;
    if (device_.exportTransaction || device_.callerTransactions > 0) return QAV_OK;
    if (const uint32_t rc = device_.reader->BeginTransaction(0, 0)) return rc;
    device_.exportTransaction = true;
    began_ = true;
    return QAV_OK;
}

void CardTransaction::End(uint32_t exportResult) {
    if (began_) {
        began_ = false;
        device_.exportTransaction = false;
        // A pulled card or a lost connection took the transaction with it;
        // ending it would only spend the retry budget. After a reset the
        // service still holds it for this handle: the reconnecting rule
        // ends it.
        if (!platform::IsLostContext(exportResult) && exportResult != platform::kScardRemovedCard) {
            device_.reader->EndTransaction(0);
        }
    }
    if (sequence_) {
        sequence_ = false;
        device_.reader->CloseSequence();
    }
}

}  // namespace qav::api
