#include "platform/secure_memory.h"

#include <algorithm>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <string.h>
#endif

namespace qav::platform {

void SecureWipe(void* data, size_t length) noexcept {
    if (data == nullptr || length == 0) return;
#if defined(_WIN32)
    SecureZeroMemory(data, length);
#else
    explicit_bzero(data, length);
#endif
}

void WipedBytes::Release() noexcept {
    SecureWipe(data_, size_);
    heap_.reset();
    data_ = inline_;
    size_ = 0;
}

void WipedBytes::Place(size_t length) {
    if (length > kInline) {
        heap_ = std::make_unique<uint8_t[]>(length);
        data_ = heap_.get();
    }
    size_ = length;
}

void WipedBytes::Reset(size_t length) {
    Release();
    Place(length);
    if (length != 0) std::memset(data_, 0, length);
}

void WipedBytes::Assign(const uint8_t* bytes, size_t length) {
    Release();
    if (bytes == nullptr || length == 0) return;
    Place(length);
    std::memcpy(data_, bytes, length);
}

void WipedBytes::Grow(size_t length, size_t kept) {
    if (length <= size_) return;
    kept = std::min(kept, size_);
    if (length <= kInline) {
        // Still in place: the kept bytes stay where they are.
        std::memset(data_ + kept, 0, length - kept);
        size_ = length;
        return;
    }
    auto grown = std::make_unique<uint8_t[]>(length);  // zeroed
    if (kept != 0) std::memcpy(grown.get(), data_, kept);
    Release();
    heap_ = std::move(grown);
    data_ = heap_.get();
    size_ = length;
}

}  // namespace qav::platform
