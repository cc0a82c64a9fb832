// A session and the operations it has under way.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "bytes.h"
#include "cryptoki.h"
#include "hash.h"
#include "mechanisms.h"
#include "token.h"

namespace qav::p11 {

struct FindOperation {
    std::vector<CK_OBJECT_HANDLE> found;
    size_t next = 0;
};

// A signature or decryption with a private key of the session's token.
struct KeyOperation {
    const Mechanism* mechanism = nullptr;
    CK_OBJECT_HANDLE key = 0;
    std::string container;
    KeyKind kind = KeyKind::Rsa;
    size_t outputLength = 0;         // the modulus, or 64 for SM2
    std::unique_ptr<Hasher> hasher;  // hashing mechanisms
    Bytes data;                      // the others collect their input
    bool multiPart = false;
};

struct Session {
    Session(CK_SESSION_HANDLE h, CK_SLOT_ID s, CK_FLAGS f, std::shared_ptr<Token> t)
        : handle(h), slot(s), flags(f), token(std::move(t)) {}

    const CK_SESSION_HANDLE handle;
    const CK_SLOT_ID slot;
    const CK_FLAGS flags;
    const std::shared_ptr<Token> token;

    // Guards the operations below; never held across a card call.
    std::mutex lock;
    std::optional<FindOperation> find;
    std::optional<KeyOperation> sign;
    std::optional<KeyOperation> decrypt;
    std::unique_ptr<Hasher> digest;
};

}  // namespace qav::p11
