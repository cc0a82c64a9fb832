// A reader whose answers come from the fuzz input, for targets that drive
// card operations. Answers are length-prefixed: one byte n, then n bytes of
// data and status word; an answer shorter than two bytes, or the end of the
// input, stands for a pulled card. Every command is checked for a sane
// shape. A run of more than maxExchanges commands counts as a loop; GET
// RESPONSE rounds are counted apart, against the exchange's own bound on
// the rounds of one answer.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "card/common/card.h"
#include "qavseal/qavseal.h"
#include "reader/reader.h"

namespace qav::fuzz {

inline void Require(bool condition) {
    if (!condition) std::abort();
}

class FuzzReader final : public CReader {
public:
    static constexpr uint32_t kReaderGone = 0x80100069u;

    FuzzReader(const uint8_t* data, size_t size, uint32_t protocol, uint32_t maxExchanges)
        : data_(data), size_(size), maxExchanges_(maxExchanges) {
        activeProtocol_ = protocol;
    }

    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength, uint32_t* statusWord, uint32_t) override {
        // Short APDUs only: header, Lc, at most 255 data bytes, Le.
        Require(command != nullptr && commandLength >= 4 && commandLength <= 4 + 1 + 255 + 1);
        if (responseLength == nullptr || statusWord == nullptr) return QAV_E_NULL_POINTER;
        constexpr uint8_t kGetResponse = 0xC0;
        if (command[1] == kGetResponse) {
            Require(++answerRounds_ <= CCard::kMaxAnswerRounds);
        } else {
            answerRounds_ = 0;
            Require(++exchanges_ <= maxExchanges_);
        }
        if (offset_ >= size_) return kReaderGone;
        const size_t n = std::min<size_t>(data_[offset_], size_ - offset_ - 1);
        const uint8_t* answer = data_ + offset_ + 1;
        offset_ += 1 + n;
        if (n < 2) return kReaderGone;
        const auto dataLength = static_cast<uint32_t>(n - 2);
        *statusWord = static_cast<uint32_t>(answer[n - 2]) << 8 | answer[n - 1];
        if (response != nullptr) {
            if (*responseLength < dataLength) {
                *responseLength = dataLength;
                return QAV_E_BUFFER_TOO_SMALL;
            }
            std::memcpy(response, answer, dataLength);
        }
        *responseLength = dataLength;
        return QAV_OK;
    }

    uint32_t EstablishContext(uint32_t) override { return QAV_E_NOT_SUPPORTED; }
    uint32_t ReleaseContext(uint32_t) override { return QAV_E_NOT_SUPPORTED; }
    uint32_t ListReaders(char*, uint32_t*, uint32_t, uint32_t) override {
        return QAV_E_NOT_SUPPORTED;
    }
    uint32_t GetReaderATR(const char*, uint8_t*, uint32_t*, uint32_t) override {
        return QAV_E_NOT_SUPPORTED;
    }
    uint32_t Connect(const char*, uint32_t) override { return QAV_E_NOT_SUPPORTED; }
    uint32_t Disconnect(uint32_t) override { return QAV_E_NOT_SUPPORTED; }
    uint32_t ResetCard(uint32_t) override { return QAV_E_NOT_SUPPORTED; }
    uint32_t BeginTransaction(uint32_t, uint32_t) override { return QAV_E_NOT_SUPPORTED; }
    uint32_t EndTransaction(uint32_t) override { return QAV_E_NOT_SUPPORTED; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
    uint32_t exchanges_ = 0;
    uint32_t answerRounds_ = 0;
    uint32_t maxExchanges_;
};

}  // namespace qav::fuzz
