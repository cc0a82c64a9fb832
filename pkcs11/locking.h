// C_Initialize's locking arguments and the mutex the module's tables use.
#pragma once

#include <mutex>

#include "cryptoki.h"

namespace qav::p11 {

struct LockingChoice {
    // The application's four callbacks, when it gave them without allowing
    // the system's own locks; otherwise the system's locks are used.
    bool appMutexes = false;
    CK_CREATEMUTEX create = nullptr;
    CK_DESTROYMUTEX destroy = nullptr;
    CK_LOCKMUTEX lock = nullptr;
    CK_UNLOCKMUTEX unlock = nullptr;
    // The application forbids threads of the module's own.
    bool noThreads = false;
};

// Checks pInitArgs as C_Initialize must: null, or pReserved null and the
// four callbacks all given or none (else CKR_ARGUMENTS_BAD).
CK_RV ParseInitArgs(const void* initArgs, LockingChoice* choice);

// A mutex over the system's or the application's callbacks, usable with
// std::lock_guard.
class TableMutex {
public:
    explicit TableMutex(const LockingChoice& choice);
    ~TableMutex();
    TableMutex(const TableMutex&) = delete;
    TableMutex& operator=(const TableMutex&) = delete;
    void lock();
    void unlock();

private:
    LockingChoice choice_;
    std::mutex own_;
    void* app_ = nullptr;
};

}  // namespace qav::p11
