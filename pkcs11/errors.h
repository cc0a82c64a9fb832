// How failures travel inside the module: a CkError carries the CK_RV to the
// one boundary in entry_points.cpp; library results become CK_RVs here.
#pragma once

#include <cstdint>
#include <stdexcept>

#include "cryptoki.h"

namespace qav::p11 {

class CkError : public std::exception {
public:
    explicit CkError(CK_RV rv) : rv_(rv) {}
    CK_RV rv() const { return rv_; }
    const char* what() const noexcept override { return "PKCS#11 error"; }

private:
    CK_RV rv_;
};

[[noreturn]] inline void Fail(CK_RV rv) { throw CkError(rv); }

// The CK_RV for a library result of a card operation (not QAV_OK). A card
// that says the PIN is not verified gives CKR_USER_NOT_LOGGED_IN.
CK_RV FromLibrary(uint32_t rc);

// True when the library's result says the card dropped the verified PIN.
bool PinNotVerified(uint32_t rc);

}  // namespace qav::p11
