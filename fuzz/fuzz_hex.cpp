// Hexadecimal text from the caller: conversion never writes past the size it
// reports, and accepted text converts back to the same digits.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "codec/hex.h"
#include "qavseal/qavseal.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    // The conversion reads up to the first NUL, as a C caller's string ends.
    const auto* chars = reinterpret_cast<const char*>(data);
    const std::string text(chars, std::find(chars, chars + size, '\0'));

    uint32_t needed = 0;
    if (qav::HexToBytes(text.c_str(), nullptr, &needed) != QAV_OK) return 0;
    std::vector<uint8_t> bytes(needed);
    uint32_t length = needed;
    const uint32_t rc = qav::HexToBytes(text.c_str(), bytes.data(), &length);
    Require(length == needed);
    if (rc != QAV_OK) {
        Require(rc == QAV_E_CONVERSION);
        return 0;
    }

    uint32_t textSize = 0;
    Require(qav::BytesToHex(bytes.data(), length, nullptr, &textSize) == QAV_OK);
    std::string back(textSize, '\0');
    Require(qav::BytesToHex(bytes.data(), length, back.data(), &textSize) == QAV_OK);
    Require(back.size() == text.size() + 1 && back.back() == '\0');
    for (size_t i = 0; i < text.size(); ++i) {
        Require(back[i] == static_cast<char>(std::toupper(static_cast<unsigned char>(text[i]))));
    }

    std::vector<uint8_t> twice(bytes.size());
    Require(qav::ReverseBytes(twice.data(), bytes.data(), length) == QAV_OK);
    Require(qav::ReverseBytes(twice.data(), twice.data(), length) == QAV_OK);
    Require(twice == bytes);
    return 0;
}
