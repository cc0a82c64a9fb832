#include "bytes.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qavtool {
namespace {

void AppendLength(size_t length, Bytes* out) {
    if (length < 0x80) {
        out->push_back(static_cast<uint8_t>(length));
    } else if (length < 0x100) {
        out->insert(out->end(), {0x81, static_cast<uint8_t>(length)});
    } else {
        out->insert(out->end(),
                    {0x82, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
    }
}

// A positive INTEGER: leading zeros dropped, one put back before a high bit.
Bytes DerInteger(const uint8_t* value, size_t length) {
    while (length > 1 && value[0] == 0) {
        ++value;
        --length;
    }
    Bytes content;
    if (length == 0 || (value[0] & 0x80) != 0) content.push_back(0);
    content.insert(content.end(), value, value + length);
    Bytes out{0x02};
    AppendLength(content.size(), &out);
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

}  // namespace

bool ParseHex(const char* text, size_t length, Bytes* bytes) {
    bytes->clear();
    int high = -1;
    for (size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c)) != 0 || c == ':') continue;
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
        const int value = std::isdigit(static_cast<unsigned char>(c)) != 0
                              ? c - '0'
                              : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
        if (high < 0) {
            high = value;
        } else {
            bytes->push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    return high < 0;
}

std::string ToHex(const uint8_t* bytes, size_t length, char separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i != 0 && separator != 0) text += separator;
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool ReadFileBytes(const std::string& path, Bytes* bytes) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return false;
    bytes->clear();
    uint8_t chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) != 0) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    return std::ferror(file.get()) == 0;
}

bool ReadInputFile(const std::string& path, Bytes* bytes, std::string* error) {
    errno = 0;
    if (!ReadFileBytes(path, bytes)) {
        *error =
            "cannot read " + path + (errno != 0 ? std::string(": ") + std::strerror(errno) : "");
        return false;
    }
    if (bytes->empty()) {
        *error = path + " is empty: there is nothing to send to the card";
        return false;
    }
    return true;
}

bool WriteFileBytes(const std::string& path, const uint8_t* data, size_t length) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) return false;
    const bool written = std::fwrite(data, 1, length, file.get()) == length;
    return std::fclose(file.release()) == 0 && written;
}

std::string Pem(const char* label, const Bytes& der) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string base64;
    for (size_t i = 0; i < der.size(); i += 3) {
        const size_t left = der.size() - i;
        const uint32_t group = static_cast<uint32_t>(der[i]) << 16 |
                               (left > 1 ? static_cast<uint32_t>(der[i + 1]) << 8 : 0) |
                               (left > 2 ? der[i + 2] : 0);
        base64 += kAlphabet[group >> 18 & 0x3F];
        base64 += kAlphabet[group >> 12 & 0x3F];
        base64 += left > 1 ? kAlphabet[group >> 6 & 0x3F] : '=';
        base64 += left > 2 ? kAlphabet[group & 0x3F] : '=';
    }
    std::string pem = std::string("-----BEGIN ") + label + "-----\n";
    for (size_t i = 0; i < base64.size(); i += 64) pem += base64.substr(i, 64) + "\n";
    return pem + "-----END " + label + "-----\n";
}

Bytes SignatureToDer(const Bytes& rs) {
    const size_t half = rs.size() / 2;
    const Bytes r = DerInteger(rs.data(), half);
    const Bytes s = DerInteger(rs.data() + half, half);
    Bytes out{0x30};
    AppendLength(r.size() + s.size(), &out);
    out.insert(out.end(), r.begin(), r.end());
    out.insert(out.end(), s.begin(), s.end());
    return out;
}

}  // namespace qavtool
