// Wiping secrets (PIN blocks, plain key material) the moment they are sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Bytes that may be secret (command data, answers), held in place up to
// kInline and on the heap beyond it. Every block is wiped before it is
// given back. A short command never touches the allocator, which was most of
// the library's own cost per exchange.
class WipedBytes {
public:
    // A short command or answer with its framing: 255 data bytes plus header,
    // Lc, Le and a reader prefix.
    static constexpr size_t kInline = 272;

    WipedBytes() noexcept = default;
    ~WipedBytes() { Release(); }
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;

    uint8_t* data() noexcept { return data_; }
    const uint8_t* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }

    // `length` zeroed bytes in place of the old ones.
    void Reset(size_t length);
    // The given bytes in place of the old ones.
    void Assign(const uint8_t* bytes, size_t length);
    // At least `length` bytes, keeping the first `kept`; the rest zeroed.
    void Grow(size_t length, size_t kept);
    void Release() noexcept;

private:
    // Room for `length` bytes, the old block already released.
    void Place(size_t length);

    uint8_t* data_ = inline_;
    size_t size_ = 0;
    std::unique_ptr<uint8_t[]> heap_;
    alignas(8) uint8_t inline_[kInline];
};

}  // namespace qav::platform
