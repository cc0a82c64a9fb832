// SM3 as the Chinese standard GB/T 32905 gives it: Merkle-Damgard over
// 512-bit blocks, padded like SHA-256.
#include "sm3.h"

#include <algorithm>

namespace qav::p11 {

namespace {

uint32_t Rol(uint32_t x, unsigned n) {
    n %= 32;
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}
uint32_t P0(uint32_t x) { return x ^ Rol(x, 9) ^ Rol(x, 17); }
uint32_t P1(uint32_t x) { return x ^ Rol(x, 15) ^ Rol(x, 23); }

}  // namespace

Sm3::Sm3()
    : v_{0x7380166F, 0x4914B2B9, 0x172442D7, 0xDA8A0600,
         0xA96F30BC, 0x163138AA, 0xE38DEE4D, 0xB0FB0E4E} {}

void Sm3::Compress(const uint8_t* block) {
    uint32_t w[68];
    uint32_t w1[64];
    for (int j = 0; j < 16; ++j) {
        w[j] = static_cast<uint32_t>(block[4 * j]) << 24 |
               static_cast<uint32_t>(block[4 * j + 1]) << 16 |
               static_cast<uint32_t>(block[4 * j + 2]) << 8 | block[4 * j + 3];
    }
    for (int j = 16; j < 68; ++j) {
        w[j] = P1(w[j - 16] ^ w[j - 9] ^ Rol(w[j - 3], 15)) ^ Rol(w[j - 13], 7) ^ w[j - 6];
    }
    for (int j = 0; j < 64; ++j) w1[j] = w[j] ^ w[j + 4];
    uint32_t a = v_[0], b = v_[1], c = v_[2], d = v_[3];
    uint32_t e = v_[4], f = v_[5], g = v_[6], h = v_[7];
    for (unsigned j = 0; j < 64; ++j) {
        const uint32_t t = j < 16 ? 0x79CC4519u : 0x7A879D8Au;
        const uint32_t ss1 = Rol(Rol(a, 12) + e + Rol(t, j), 7);
        const uint32_t ss2 = ss1 ^ Rol(a, 12);
        const uint32_t ff = j < 16 ? (a ^ b ^ c) : ((a & b) | (a & c) | (b & c));
        const uint32_t gg = j < 16 ? (e ^ f ^ g) : ((e & f) | (~e & g));
        const uint32_t tt1 = ff + d + ss2 + w1[j];
        const uint32_t tt2 = gg + h + ss1 + w[j];
        d = c;
        c = Rol(b, 9);
        b = a;
        a = tt1;
        h = g;
        g = Rol(f, 19);
        f = e;
        e = P0(tt2);
    }
    v_[0] ^= a;
    v_[1] ^= b;
    v_[2] ^= c;
    v_[3] ^= d;
    v_[4] ^= e;
    v_[5] ^= f;
    v_[6] ^= g;
    v_[7] ^= h;
}

void Sm3::Update(const uint8_t* data, size_t length) {
    total_ += length;
    while (length > 0) {
        const size_t take = std::min(length, buffer_.size() - buffered_);
        for (size_t i = 0; i < take; ++i) buffer_[buffered_ + i] = data[i];
        buffered_ += take;
        data += take;
        length -= take;
        if (buffered_ == buffer_.size()) {
            Compress(buffer_.data());
            buffered_ = 0;
        }
    }
}

std::array<uint8_t, 32> Sm3::Final() {
    const uint64_t bits = total_ * 8;
    const uint8_t one = 0x80;
    Update(&one, 1);
    const uint8_t zero = 0;
    while (buffered_ != 56) Update(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    Update(length, 8);
    std::array<uint8_t, 32> out{};
    for (size_t i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<uint8_t>(v_[i] >> 24);
        out[4 * i + 1] = static_cast<uint8_t>(v_[i] >> 16);
        out[4 * i + 2] = static_cast<uint8_t>(v_[i] >> 8);
        out[4 * i + 3] = static_cast<uint8_t>(v_[i]);
    }
    return out;
}

}  // namespace qav::p11
