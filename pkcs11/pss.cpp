#include "pss.h"

#include "encodings.h"
#include "errors.h"

namespace qav::p11 {

namespace {

// The encoded message holds modulusBits - 1 bits, so the integer stays
// below the modulus.
size_t EncodedLength(size_t modulusBits) { return (modulusBits - 1 + 7) / 8; }

}  // namespace

bool PssFits(HashAlg hash, size_t saltLength, size_t modulusBits) {
    if (modulusBits < 9) return false;
    const size_t emLength = EncodedLength(modulusBits);
    return saltLength <= emLength && emLength - saltLength >= HashSize(hash) + 2;
}

Bytes PssEncode(HashAlg hash, HashAlg mgfHash, const Bytes& mHash, const Bytes& salt,
                size_t modulusBits) {
    const size_t hLength = HashSize(hash);
    if (mHash.size() != hLength) Fail(CKR_DATA_LEN_RANGE);
    if (!PssFits(hash, salt.size(), modulusBits)) Fail(CKR_KEY_SIZE_RANGE);
    const size_t emBits = modulusBits - 1;
    const size_t emLength = EncodedLength(modulusBits);

    static const uint8_t zeros[8] = {};
    Hasher m(hash);
    m.Update(zeros, sizeof zeros);
    m.Update(mHash.data(), mHash.size());
    m.Update(salt.data(), salt.size());
    const Bytes h = m.Final();

    // DB = PS || 01 || salt, masked by MGF1(H).
    const size_t dbLength = emLength - hLength - 1;
    Bytes db(dbLength - salt.size() - 1, 0);
    db.push_back(0x01);
    db.insert(db.end(), salt.begin(), salt.end());
    const Bytes mask = Mgf1(mgfHash, h.data(), h.size(), dbLength);
    for (size_t i = 0; i < dbLength; ++i) db[i] ^= mask[i];
    db[0] &= static_cast<uint8_t>(0xFF >> (8 * emLength - emBits));

    // The card takes a modulus-long block: a leading zero when emBits is a
    // multiple of 8.
    const size_t k = (modulusBits + 7) / 8;
    Bytes block(k - emLength, 0);
    block.insert(block.end(), db.begin(), db.end());
    block.insert(block.end(), h.begin(), h.end());
    block.push_back(0xBC);
    return block;
}

}  // namespace qav::p11
