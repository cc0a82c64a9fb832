#include "session.h"

#include <cctype>
#include <cstdio>

#include "result_messages.h"

namespace qavtool {

uint32_t Device::Open(const std::string& name) {
    readerName_ = name;
    if (readerName_.empty()) {
        char** names = nullptr;
        uint32_t count = 0;
        if (const uint32_t rc = QAV_GetDeviceList(&names, &count, 0)) return rc;
        readerName_ = names[0];
    }
    return QAV_OpenDevice(readerName_.c_str(), &handle_, 0);
}

int Fail(const char* what, uint32_t rc) {
    std::fprintf(stderr, "qavseal: %s: %s (0x%08X)\n", what, DescribeResult(rc).c_str(), rc);
    return 1;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    bytes->clear();
    int high = -1;
    for (const char c : text) {
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

std::string ToHex(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        if (i != 0) text += ' ';
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0x0F];
    }
    return text;
}

bool TakeReaderOption(std::vector<std::string>* args, std::string* reader) {
    for (size_t i = 0; i < args->size(); ++i) {
        if ((*args)[i] != "--reader") continue;
        if (i + 1 >= args->size()) return false;
        *reader = (*args)[i + 1];
        args->erase(args->begin() + static_cast<long>(i), args->begin() + static_cast<long>(i) + 2);
        return true;
    }
    return true;
}

}  // namespace qavtool
