// Every card answer is untrusted: a reader that takes each answer from the
// fuzz input drives the exchange (61xx, 6Cxx, GET RESPONSE) and the seal
// card's selection, challenge and PIN commands. Nothing may read or write
// past a buffer, and no answer may make an operation loop.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "card/card_seal.h"
#include "qavseal/qavseal.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

constexpr uint32_t kReaderGone = 0x80100069u;  // what a pulled card answers
constexpr uint32_t kMaxExchanges = 64;

// Answers are length-prefixed: one byte n, then n bytes of data and status
// word. An answer shorter than two bytes stands for a reader error.
class FuzzReader final : public qav::CReader {
public:
    FuzzReader(const uint8_t* data, size_t size, uint32_t protocol) : data_(data), size_(size) {
        activeProtocol_ = protocol;
    }

    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength, uint32_t* statusWord, uint32_t) override {
        Require(command != nullptr && commandLength >= 4 && commandLength <= 4 + 1 + 255 + 1);
        if (responseLength == nullptr || statusWord == nullptr) return QAV_E_NULL_POINTER;
        Require(++exchanges_ <= kMaxExchanges);
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
};

uint32_t QAV_CALLBACK Encrypt(const uint8_t*, uint32_t, const uint8_t* plain, uint32_t plainLength,
                              uint8_t* out, uint32_t* outLength, uintptr_t, uintptr_t) {
    Require(*outLength >= plainLength);
    std::memcpy(out, plain, plainLength);
    *outLength = plainLength;
    return 1;
}

uint32_t QAV_CALLBACK Mac(const uint8_t*, uint32_t, const uint8_t*, uint32_t, uint8_t* mac,
                          uintptr_t, uintptr_t) {
    std::memset(mac, 0x4D, 4);
    return QAV_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint32_t protocol = (data[0] & 1) != 0 ? qav::kProtocolT1 : qav::kProtocolT0;
    const uint32_t capacity = data[1];
    FuzzReader reader(data + 2, size - 2, protocol);
    qav::CCardSeal card(&reader);

    std::array<uint8_t, 255> fci{};
    uint32_t fciLength = capacity;
    if (card.SelectFile(0, nullptr, 0, 0x3F00, fci.data(), &fciLength, 1) == QAV_OK) {
        Require(fciLength <= capacity);
    }
    std::array<uint8_t, 16> challenge{};
    (void)card.GetChallenge(challenge.data(), 16, 0);

    uint32_t tries = 0xFF;
    const uint32_t verify = card.VerifyPIN(0, "12345", 5, &tries, 0);
    if (verify == QAV_E_PIN_WRONG || verify == QAV_E_PIN_BLOCKED) Require(tries <= 15);
    (void)card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1);
    (void)card.ReloadPIN(data[0] & 1, 8, Encrypt, Mac, "0000", 4, &tries, 0, 0);
    return 0;
}
