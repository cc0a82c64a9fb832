// The PKCS#11 types: p11-kit's header (version 2.40), then the few 3.0
// additions of our own. Windows expects the structures packed to 1 byte.
#pragma once

#ifndef CRYPTOKI_EXPORTS
#define CRYPTOKI_EXPORTS 1
#endif

#ifdef _WIN32
#pragma pack(push, qav_cryptoki, 1)
#else
// The module builds with hidden symbols: the C_* functions the header
// declares are what it exports.
#pragma GCC visibility push(default)
#endif
#include <p11-kit/pkcs11.h>
#ifndef _WIN32
#pragma GCC visibility pop
#endif

#include "pkcs11_v3.h"
#ifdef _WIN32
#pragma pack(pop, qav_cryptoki)
#endif

#include <cstddef>

namespace qav::p11 {

// A count or length handed to the caller. None the module hands out comes
// near 2^32, the width of CK_ULONG on 64-bit Windows.
constexpr CK_ULONG CkLength(size_t n) noexcept { return static_cast<CK_ULONG>(n); }

}  // namespace qav::p11
