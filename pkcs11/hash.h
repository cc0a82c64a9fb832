// The digests the module computes on the host.
#pragma once

#include <cstddef>
#include <memory>

#include "bytes.h"

namespace qav::p11 {

enum class HashAlg { Sha1, Sha224, Sha256, Sha384, Sha512, Sm3 };

size_t HashSize(HashAlg alg);
// Whether this platform hashes alg on the host (Windows' CNG has no SHA-224).
bool HashOnHost(HashAlg alg);

class Hasher {
public:
    explicit Hasher(HashAlg alg);
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    HashAlg Alg() const { return alg_; }
    void Update(const uint8_t* data, size_t length);
    // Ends this hash; the object is spent afterwards.
    Bytes Final();

private:
    struct State;
    HashAlg alg_;
    std::unique_ptr<State> state_;
};

Bytes Hash(HashAlg alg, const Bytes& data);

// Fills data from the platform's random generator.
void RandomBytes(uint8_t* data, size_t length);

}  // namespace qav::p11
