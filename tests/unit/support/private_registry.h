// Gives a test a registry of its own: on Linux the store in a temporary
// folder (XDG_CONFIG_HOME), on Windows HKEY_CURRENT_USER redirected to a
// fresh key, deleted afterwards.
#pragma once

#include <string>

namespace qav::test {

class PrivateRegistry {
public:
    PrivateRegistry();
    ~PrivateRegistry();
    PrivateRegistry(const PrivateRegistry&) = delete;
    PrivateRegistry& operator=(const PrivateRegistry&) = delete;

    // Linux: the configuration folder. Windows: the key under the real
    // HKEY_CURRENT_USER that stands in for it.
    const std::string& root() const { return root_; }

#ifndef _WIN32
    // Where the store keeps a key (backslashes become folders).
    std::string StorePath(const std::string& keyPath) const;
#endif

private:
    std::string root_;
    std::string saved_;
    bool hadSaved_ = false;
    void* key_ = nullptr;
};

}  // namespace qav::test
