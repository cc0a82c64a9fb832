// PINs and other secrets typed by a person: a fixed buffer, wiped when it
// goes, never copied into a std::string.
#pragma once

#include <cstddef>
#include <string>

namespace qavtool {

class SecretText {
public:
    SecretText() = default;
    ~SecretText();
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    const char* c_str() const { return text_; }
    size_t size() const { return size_; }
    bool operator==(const SecretText& other) const;

    // False when the buffer is full.
    bool Append(char c);

private:
    static constexpr size_t kCapacity = 64;
    char text_[kCapacity + 1] = {};
    size_t size_ = 0;
};

// Reads one PIN: a line from fd when it is not negative, else asked on the
// terminal with echo off. False with *error set when neither is possible.
bool ReadPin(int fd, const char* prompt, SecretText* pin, std::string* error);

}  // namespace qavtool
