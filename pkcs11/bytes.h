// Byte strings and how the module wipes the secret ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qav::p11 {

using Bytes = std::vector<uint8_t>;

// Clears a secret before its memory goes back (PINs, decrypted data).
void Wipe(void* data, size_t length);

class WipeOnExit {
public:
    explicit WipeOnExit(Bytes& bytes) : bytes_(&bytes) {}
    explicit WipeOnExit(std::string& text) : text_(&text) {}
    ~WipeOnExit() {
        if (bytes_ != nullptr) Wipe(bytes_->data(), bytes_->size());
        if (text_ != nullptr) Wipe(text_->data(), text_->size());
    }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

private:
    Bytes* bytes_ = nullptr;
    std::string* text_ = nullptr;
};

}  // namespace qav::p11
