// The real per-user registry.
#include <windows.h>

#include "platform/registry.h"

namespace qav::platform {

struct RegistryKey::Impl {
    HKEY key = nullptr;
    ~Impl() {
        if (key != nullptr) RegCloseKey(key);
    }
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

bool RegistryKey::IsOpen() const noexcept { return impl_ != nullptr; }

uint32_t RegistryKey::Open(const std::string& path, RegistryKey* key) {
    HKEY raw = nullptr;
    const LONG rc = RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &raw);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    key->impl_ = std::make_unique<Impl>();
    key->impl_->key = raw;
    return kRegSuccess;
}

uint32_t RegistryKey::Create(const std::string& path, RegistryKey* key) {
    HKEY raw = nullptr;
    const LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                    nullptr, &raw, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    key->impl_ = std::make_unique<Impl>();
    key->impl_->key = raw;
    return kRegSuccess;
}

uint32_t RegistryKey::OpenSubkey(const std::string& name, RegistryKey* key) const {
    if (!impl_) return kRegInvalidParameter;
    HKEY raw = nullptr;
    const LONG rc = RegOpenKeyExA(impl_->key, name.c_str(), 0, KEY_QUERY_VALUE, &raw);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    key->impl_ = std::make_unique<Impl>();
    key->impl_->key = raw;
    return kRegSuccess;
}

uint32_t RegistryKey::SubkeyCount(uint32_t* count) const {
    if (!impl_) return kRegInvalidParameter;
    DWORD subkeys = 0;
    const LONG rc = RegQueryInfoKeyA(impl_->key, nullptr, nullptr, nullptr, &subkeys, nullptr,
                                     nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    *count = static_cast<uint32_t>(subkeys);
    return kRegSuccess;
}

uint32_t RegistryKey::EnumSubkey(uint32_t index, std::string* name) const {
    if (!impl_) return kRegInvalidParameter;
    char buffer[kRegMaxName + 1] = {};
    DWORD length = sizeof buffer;
    const LONG rc =
        RegEnumKeyExA(impl_->key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    name->assign(buffer, length);
    return kRegSuccess;
}

uint32_t RegistryKey::QueryValue(const std::string& name, uint32_t* type,
                                 std::vector<uint8_t>* data, size_t maxLength) const {
    if (!impl_) return kRegInvalidParameter;
    std::vector<uint8_t> bytes(maxLength);
    DWORD valueType = 0;
    DWORD length = static_cast<DWORD>(maxLength);
    const LONG rc =
        RegQueryValueExA(impl_->key, name.c_str(), nullptr, &valueType, bytes.data(), &length);
    if (rc != ERROR_SUCCESS) return static_cast<uint32_t>(rc);
    bytes.resize(length);
    *type = static_cast<uint32_t>(valueType);
    *data = std::move(bytes);
    return kRegSuccess;
}

uint32_t RegistryKey::SetValue(const std::string& name, uint32_t type, const uint8_t* data,
                               uint32_t length) {
    if (!impl_) return kRegInvalidParameter;
    return static_cast<uint32_t>(
        RegSetValueExA(impl_->key, name.c_str(), 0, type, data, static_cast<DWORD>(length)));
}

// No change count here: callers read the registry again each time.
uint64_t RegistryGeneration() { return 0; }

}  // namespace qav::platform
