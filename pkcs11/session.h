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
    size_t outputLength = 0;  // the modulus, or 64 for SM2
    size_t modulusBits = 0;
    std::unique_ptr<Hasher> hasher;  // hashing mechanisms
    // PSS and OAEP parameters: the hash, MGF1's hash, the salt's length, the label.
    HashAlg paddingHash = HashAlg::Sha1;
    HashAlg mgfHash = HashAlg::Sha1;
    size_t saltLength = 0;
    Bytes label;
    Bytes data;  // the others collect their input
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
