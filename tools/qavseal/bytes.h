// Byte strings on the command line and in files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qavtool {

using Bytes = std::vector<uint8_t>;

// "00A4 0400" -> bytes (spaces and colons ignored); false on anything that
// is not pairs of hexadecimal digits.
bool ParseHex(const char* text, size_t length, Bytes* bytes);
inline bool ParseHex(const std::string& text, Bytes* bytes) {
    return ParseHex(text.data(), text.size(), bytes);
}
// "00 A4 04 00" with separator ' ', "00A40400" with separator 0.
std::string ToHex(const uint8_t* bytes, size_t length, char separator = ' ');
inline std::string ToHex(const Bytes& bytes, char separator = ' ') {
    return ToHex(bytes.data(), bytes.size(), separator);
}

bool ReadFileBytes(const std::string& path, Bytes* bytes);
// The data a command works on: false with *error saying why when the file
// cannot be read or is empty (the card has nothing to work on).
bool ReadInputFile(const std::string& path, Bytes* bytes, std::string* error);
bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t length);
inline bool WriteFileBytes(const std::string& path, const Bytes& bytes) {
    return WriteFileBytes(path, bytes.data(), bytes.size());
}

// DER wrapped in base64 lines of 64 between BEGIN/END lines of the label.
std::string Pem(const char* label, const Bytes& der);

// r || s (two equal halves) as the DER SEQUENCE of two INTEGERs that
// OpenSSL and most verifiers take.
Bytes SignatureToDer(const Bytes& rs);

}  // namespace qavtool
