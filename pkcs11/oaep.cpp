#include "oaep.h"

#include "encodings.h"

namespace qav::p11 {

namespace {

// All ones when a == b, else zero, without a branch on either.
size_t EqualMask(size_t a, size_t b) {
    const size_t x = a ^ b;
    return ((x | (0 - x)) >> (sizeof(size_t) * 8 - 1)) - 1;
}

}  // namespace

bool OaepFits(HashAlg hash, size_t modulusLength) {
    return modulusLength >= 2 * HashSize(hash) + 2;
}

std::optional<Bytes> OaepDecode(HashAlg hash, HashAlg mgfHash, const Bytes& label,
                                const Bytes& block) {
    const size_t hLength = HashSize(hash);
    // The sizes are public (the key's and the hash's): no secret in this exit.
    if (!OaepFits(hash, block.size())) return std::nullopt;
    const Bytes lHash = Hash(hash, label);

    const uint8_t* maskedSeed = block.data() + 1;
    const size_t dbLength = block.size() - hLength - 1;
    Bytes db(block.begin() + static_cast<std::ptrdiff_t>(hLength) + 1, block.end());
    const WipeOnExit wipeDb(db);
    Bytes seed = Mgf1(mgfHash, db.data(), db.size(), hLength);
    const WipeOnExit wipeSeed(seed);
    for (size_t i = 0; i < hLength; ++i) seed[i] ^= maskedSeed[i];
    // The mask with the public masked block gives the plaintext back.
    Bytes dbMask = Mgf1(mgfHash, seed.data(), seed.size(), dbLength);
    const WipeOnExit wipeMask(dbMask);
    for (size_t i = 0; i < dbLength; ++i) db[i] ^= dbMask[i];

    size_t good = EqualMask(block[0], 0);
    size_t labelDiff = 0;
    for (size_t i = 0; i < hLength; ++i) labelDiff |= static_cast<size_t>(db[i] ^ lHash[i]);
    good &= EqualMask(labelDiff, 0);

    // PS is zeros up to the first 01; anything else before it spoils the block.
    size_t searching = ~size_t{0};
    size_t oneAt = 0;
    size_t badPadding = 0;
    for (size_t i = hLength; i < dbLength; ++i) {
        const size_t isOne = EqualMask(db[i], 1);
        const size_t isZero = EqualMask(db[i], 0);
        oneAt |= i & searching & isOne;
        badPadding |= searching & ~isOne & ~isZero;
        searching &= ~isOne;
    }
    good &= ~searching & ~badPadding;
    if (good == 0) return std::nullopt;
    return Bytes(db.begin() + static_cast<std::ptrdiff_t>(oneAt) + 1, db.end());
}

}  // namespace qav::p11
