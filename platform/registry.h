// The per-user registry: on Windows the real HKEY_CURRENT_USER, elsewhere a
// small store of our own with the same key paths and value names.
//
// Results are Windows error codes on both platforms (0 success, 2 not found,
// 5 access denied, 8 out of memory, 234 more data, 259 no more items, 1016
// any other I/O failure), so callers never branch on the platform.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qav::platform {

inline constexpr uint32_t kRegSuccess = 0;
inline constexpr uint32_t kRegNotFound = 2;
inline constexpr uint32_t kRegAccessDenied = 5;
inline constexpr uint32_t kRegNoMemory = 8;
inline constexpr uint32_t kRegInvalidParameter = 87;
inline constexpr uint32_t kRegMoreData = 234;
inline constexpr uint32_t kRegNoMoreItems = 259;
inline constexpr uint32_t kRegIoFailed = 1016;

inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegBinary = 3;

// Names longer than this (260-byte buffers, NUL included) are not read.
inline constexpr size_t kRegMaxName = 259;

// An open key under HKEY_CURRENT_USER. Paths use backslashes.
class RegistryKey {
public:
    RegistryKey();
    ~RegistryKey();
    RegistryKey(RegistryKey&&) noexcept;
    RegistryKey& operator=(RegistryKey&&) noexcept;
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens an existing key for reading.
    static uint32_t Open(const std::string& path, RegistryKey* key);
    // Opens a key for writing, creating it and every missing parent.
    static uint32_t Create(const std::string& path, RegistryKey* key);
    // Opens an existing subkey of this key for reading.
    uint32_t OpenSubkey(const std::string& name, RegistryKey* key) const;

    uint32_t SubkeyCount(uint32_t* count) const;
    // Subkeys come in a stable order (sorted by name in our own store).
    uint32_t EnumSubkey(uint32_t index, std::string* name) const;

    // Reads at most maxLength bytes; a longer value gives kRegMoreData.
    uint32_t QueryValue(const std::string& name, uint32_t* type, std::vector<uint8_t>* data,
                        size_t maxLength) const;
    uint32_t SetValue(const std::string& name, uint32_t type, const uint8_t* data, uint32_t length);

    bool IsOpen() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A number that changes whenever anything is written through the store, by
// this process or another: a count the writers raise, never the file's
// identity or time. 0 when there is none to trust (Windows, nothing written
// yet, or a counter file cut short): callers then read the store again.
uint64_t RegistryGeneration();

}  // namespace qav::platform
