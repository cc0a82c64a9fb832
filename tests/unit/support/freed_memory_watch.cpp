#include "support/freed_memory_watch.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <stdexcept>

namespace qav::test {
namespace {

// Plain storage: the allocator hooks below must not allocate themselves.
constexpr size_t kMaxPattern = 32;
uint8_t g_pattern[kMaxPattern];
size_t g_patternLength = 0;
std::atomic<bool> g_armed{false};
std::atomic<size_t> g_hits{0};
std::atomic<bool> g_hooksRan{false};

void InspectBeforeFree(void* block) noexcept {
    g_hooksRan.store(true, std::memory_order_relaxed);
    if (block == nullptr || !g_armed.load(std::memory_order_acquire)) return;
    const auto* begin = static_cast<const uint8_t*>(block);
#ifdef _WIN32
    const uint8_t* end = begin + _msize(block);
#else
    const uint8_t* end = begin + malloc_usable_size(block);
#endif
    if (std::search(begin, end, g_pattern, g_pattern + g_patternLength) != end) {
        g_hits.fetch_add(1, std::memory_order_relaxed);
    }
}

void* Allocate(size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

FreedMemoryWatch::FreedMemoryWatch(const std::vector<uint8_t>& pattern) {
    if (pattern.empty() || pattern.size() > kMaxPattern || g_armed.load()) {
        throw std::logic_error("one watch at a time, 1 to 32 bytes");
    }
    std::copy(pattern.begin(), pattern.end(), g_pattern);
    g_patternLength = pattern.size();
    g_hits.store(0);
    g_armed.store(true, std::memory_order_release);
}

FreedMemoryWatch::~FreedMemoryWatch() { g_armed.store(false, std::memory_order_release); }

size_t FreedMemoryWatch::Hits() const { return g_hits.load(); }

bool FreedMemoryWatch::Live() { return g_hooksRan.load(); }

}  // namespace qav::test

// Both sides replaced, so every block the watch sees came from malloc.
void* operator new(size_t size) { return qav::test::Allocate(size); }
void* operator new[](size_t size) { return qav::test::Allocate(size); }
void operator delete(void* block) noexcept {
    qav::test::InspectBeforeFree(block);
    std::free(block);
}
void operator delete[](void* block) noexcept {
    qav::test::InspectBeforeFree(block);
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    qav::test::InspectBeforeFree(block);
    std::free(block);
}
void operator delete[](void* block, size_t) noexcept {
    qav::test::InspectBeforeFree(block);
    std::free(block);
}
