// SM3 on the host, for platforms whose crypto library lacks it (Windows CNG).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qav::p11 {

class Sm3 {
public:
    Sm3();
    void Update(const uint8_t* data, size_t length);
    std::array<uint8_t, 32> Final();

private:
    void Compress(const uint8_t* block);
    std::array<uint32_t, 8> v_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t total_ = 0;
};

}  // namespace qav::p11
