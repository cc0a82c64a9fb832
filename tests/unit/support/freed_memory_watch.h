// Looks through every heap block freed while a watch is armed for one byte
// pattern. A secret left in freed memory is one the next allocation can read,
// so code that wipes its secrets leaves no hit.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qav::test {

class FreedMemoryWatch {
public:
    // One watch at a time; the pattern is at most 32 bytes.
    explicit FreedMemoryWatch(const std::vector<uint8_t>& pattern);
    ~FreedMemoryWatch();
    FreedMemoryWatch(const FreedMemoryWatch&) = delete;
    FreedMemoryWatch& operator=(const FreedMemoryWatch&) = delete;

    // Freed blocks that still held the pattern.
    size_t Hits() const;

    // False where the allocator hooks are not ours (valgrind puts its own in);
    // tests then skip rather than pass without looking.
    static bool Live();
};

#define QAV_SKIP_UNLESS_FREED_MEMORY_IS_WATCHED() \
    if (!::qav::test::FreedMemoryWatch::Live())   \
    GTEST_SKIP() << "this run's allocator hides freed memory"

}  // namespace qav::test
