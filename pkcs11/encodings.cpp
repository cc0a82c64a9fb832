#include "encodings.h"

#include <array>

#include "errors.h"

namespace qav::p11 {

namespace {

Bytes FromHex(const char* hex) {
    Bytes out;
    auto nibble = [](char c) {
        return static_cast<uint8_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    };
    for (const char* p = hex; p[0] != '\0' && p[1] != '\0'; p += 2) {
        out.push_back(static_cast<uint8_t>(nibble(p[0]) << 4 | nibble(p[1])));
    }
    return out;
}

}  // namespace

Bytes DigestInfo(HashAlg alg, const Bytes& hash) {
    const char* prefix = nullptr;
    switch (alg) {
        case HashAlg::Sha1:
            prefix = "3021300906052b0e03021a05000414";
            break;
        case HashAlg::Sha224:
            prefix = "302d300d06096086480165030402040500041c";
            break;
        case HashAlg::Sha256:
            prefix = "3031300d060960864801650304020105000420";
            break;
        case HashAlg::Sha384:
            prefix = "3041300d060960864801650304020205000430";
            break;
        case HashAlg::Sha512:
            prefix = "3051300d060960864801650304020305000440";
            break;
        case HashAlg::Sm3:
            Fail(CKR_MECHANISM_INVALID);
    }
    if (hash.size() != HashSize(alg)) Fail(CKR_DATA_LEN_RANGE);
    Bytes out = FromHex(prefix);
    out.insert(out.end(), hash.begin(), hash.end());
    return out;
}

Bytes Mgf1(HashAlg alg, const uint8_t* seed, size_t seedLength, size_t length) {
    Bytes mask;
    mask.reserve(length + HashSize(alg));
    for (uint32_t counter = 0; mask.size() < length; ++counter) {
        const std::array<uint8_t, 4> c{
            static_cast<uint8_t>(counter >> 24), static_cast<uint8_t>(counter >> 16),
            static_cast<uint8_t>(counter >> 8), static_cast<uint8_t>(counter)};
        Hasher h(alg);
        h.Update(seed, seedLength);
        h.Update(c.data(), c.size());
        const Bytes block = h.Final();
        mask.insert(mask.end(), block.begin(), block.end());
    }
    mask.resize(length);
    return mask;
}

Bytes Sm2Z(const Bytes& point, const std::string& id) {
    static const Bytes curve = FromHex(
        "FFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00000000FFFFFFFFFFFFFFFC"
        "28E9FA9E9D9F5E344D5A9E4BCF6509A7F39789F515AB8F92DDBCBD414D940E93"
        "32C4AE2C1F1981195F9904466A39C9948FE30BBFF2660BE1715A4589334C74C7"
        "BC3736A2F4F6779C59BDCEE36B692153D0A9877CC62A474002DF32E52139F0A0");
    if (point.size() != 65 || point[0] != 0x04 || id.size() > 0x1FFF) Fail(CKR_KEY_HANDLE_INVALID);
    const size_t bits = id.size() * 8;
    const std::array<uint8_t, 2> entl{static_cast<uint8_t>(bits >> 8),
                                      static_cast<uint8_t>(bits & 0xFF)};
    Hasher sm3(HashAlg::Sm3);
    sm3.Update(entl.data(), entl.size());
    sm3.Update(reinterpret_cast<const uint8_t*>(id.data()), id.size());
    sm3.Update(curve.data(), curve.size());
    sm3.Update(point.data() + 1, 64);
    return sm3.Final();
}

}  // namespace qav::p11
