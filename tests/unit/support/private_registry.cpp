#include "support/private_registry.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#else
#include <cstdlib>
#include <filesystem>
#endif
#include <stdexcept>

namespace qav::test {

#ifdef _WIN32

PrivateRegistry::PrivateRegistry() {
    static std::atomic<unsigned> serial{0};
    root_ = "Software\\QAVSealTests\\" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(serial++);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, root_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create " + root_);
    }
    key_ = key;
    if (RegOverridePredefKey(HKEY_CURRENT_USER, key) != ERROR_SUCCESS) {
        RegCloseKey(key);
        throw std::runtime_error("cannot redirect HKEY_CURRENT_USER");
    }
}

PrivateRegistry::~PrivateRegistry() {
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(static_cast<HKEY>(key_));
    RegDeleteTreeA(HKEY_CURRENT_USER, root_.c_str());
}

#else

PrivateRegistry::PrivateRegistry() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qavseal-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    if (const char* previous = std::getenv("XDG_CONFIG_HOME")) {
        saved_ = previous;
        hadSaved_ = true;
    }
    setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
}

PrivateRegistry::~PrivateRegistry() {
    if (hadSaved_) {
        setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

std::string PrivateRegistry::StorePath(const std::string& keyPath) const {
    std::string path = root_ + "/qavseal/registry/HKEY_CURRENT_USER/" + keyPath;
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

#endif

}  // namespace qav::test
