#include "locking.h"

#include "errors.h"

namespace qav::p11 {

CK_RV ParseInitArgs(const void* initArgs, LockingChoice* choice) {
    *choice = LockingChoice{};
    if (initArgs == nullptr) return CKR_OK;
    const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
    if (args->pReserved != nullptr) return CKR_ARGUMENTS_BAD;
    const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) +
                      (args->LockMutex != nullptr) + (args->UnlockMutex != nullptr);
    if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
    choice->noThreads = (args->flags & CKF_LIBRARY_CANT_CREATE_OS_THREADS) != 0;
    // Callbacks with OS locking allowed: either will do, and ours need no
    // calls back into the application.
    if (given == 4 && (args->flags & CKF_OS_LOCKING_OK) == 0) {
        choice->appMutexes = true;
        choice->create = args->CreateMutex;
        choice->destroy = args->DestroyMutex;
        choice->lock = args->LockMutex;
        choice->unlock = args->UnlockMutex;
    }
    return CKR_OK;
}

TableMutex::TableMutex(const LockingChoice& choice) : choice_(choice) {
    if (choice_.appMutexes && choice_.create(&app_) != CKR_OK) Fail(CKR_CANT_LOCK);
}

TableMutex::~TableMutex() {
    if (choice_.appMutexes && app_ != nullptr) choice_.destroy(app_);
}

void TableMutex::lock() {
    if (!choice_.appMutexes) {
        own_.lock();
    } else if (choice_.lock(app_) != CKR_OK) {
        Fail(CKR_CANT_LOCK);
    }
}

void TableMutex::unlock() {
    if (!choice_.appMutexes) {
        own_.unlock();
    } else {
        choice_.unlock(app_);
    }
}

}  // namespace qav::p11
