// Wiping secrets (PIN blocks, plain key material) the moment they are sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qav::platform {

// A wipe the optimiser cannot drop.
void SecureWipe(void* data, size_t length) noexcept;

// Wipes a byte vector's whole capacity when the scope ends.
class WipeOnExit {
public:
    explicit WipeOnExit(std::vector<uint8_t>& bytes) noexcept : bytes_(&bytes) {}
    WipeOnExit(void* data, size_t length) noexcept : raw_(data), rawLength_(length) {}
    ~WipeOnExit() {
        if (raw_ != nullptr) {
            SecureWipe(raw_, rawLength_);
        } else if (bytes_ != nullptr) {
            SecureWipe(bytes_->data(), bytes_->capacity());
        }
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    std::vector<uint8_t>* bytes_ = nullptr;
    void* raw_ = nullptr;
    size_t rawLength_ = 0;
};

}  // namespace qav::platform
