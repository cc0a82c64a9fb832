// A reader that plays a script of {expected command, answer} steps. Each test
// fixture owns its own; a command that differs from the script fails with the
// step number and both hex strings, and steps left over fail at the end.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fake_pcsc/fake_card.h"
#include "qavseal/qavseal.h"
#include "reader/reader.h"

namespace qav::test {

// "00 A4 04 00" or "00a40400" -> bytes. Malformed text fails the test.
inline std::vector<uint8_t> Bytes(std::string_view hex) {
    try {
        return fake::FromHex(std::string(hex));
    } catch (const std::invalid_argument&) {
        ADD_FAILURE() << "bad hex in test script: " << hex;
        return {};
    }
}

inline std::string Hex(const std::vector<uint8_t>& bytes) { return fake::ToHex(bytes); }
inline std::string Hex(const uint8_t* bytes, size_t length) { return fake::ToHex(bytes, length); }

class ScriptedReader final : public CReader {
public:
    explicit ScriptedReader(uint32_t protocol) { activeProtocol_ = protocol; }
    ~ScriptedReader() override { ExpectDone(); }
    ScriptedReader(const ScriptedReader&) = delete;
    ScriptedReader& operator=(const ScriptedReader&) = delete;

    // answer: response data followed by the two status bytes.
    ScriptedReader& Expect(std::string_view command, std::string_view answer) {
        steps_.push_back({Hex(Bytes(command)), Bytes(answer), QAV_OK, 0});
        return *this;
    }
    // The reader itself fails this command with rc.
    ScriptedReader& ExpectFailure(std::string_view command, uint32_t rc) {
        steps_.push_back({Hex(Bytes(command)), {}, rc, 0});
        return *this;
    }

    size_t Sent() const { return next_; }
    // The response capacity the caller offered at a step.
    uint32_t CapacityAt(size_t step) const { return steps_.at(step).capacity; }

    void ExpectDone() {
        for (size_t i = next_; i < steps_.size(); ++i) {
            ADD_FAILURE() << "step " << i << " never sent: " << steps_[i].command;
        }
        next_ = steps_.size();
    }

    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength, uint32_t* statusWord, uint32_t) override {
        if (command == nullptr || responseLength == nullptr || statusWord == nullptr) {
            return QAV_E_NULL_POINTER;
        }
        const std::string sent = Hex(command, commandLength);
        if (next_ >= steps_.size()) {
            ADD_FAILURE() << "step " << next_ << " not in the script: " << sent;
            return QAV_E_INTERNAL;
        }
        Step& step = steps_[next_];
        const size_t index = next_++;
        step.capacity = *responseLength;
        if (sent != step.command) {
            ADD_FAILURE() << "step " << index << ": expected " << step.command << "\n"
                          << "          got      " << sent;
            return QAV_E_INTERNAL;
        }
        if (step.rc != QAV_OK) return step.rc;
        if (step.answer.size() < 2) {
            ADD_FAILURE() << "step " << index << ": answer needs a status word";
            return QAV_E_INTERNAL;
        }
        const auto dataLength = static_cast<uint32_t>(step.answer.size() - 2);
        *statusWord = uint32_t{step.answer[dataLength]} << 8 | step.answer[dataLength + 1];
        if (response != nullptr) {
            if (*responseLength < dataLength) {
                *responseLength = dataLength;
                return QAV_E_BUFFER_TOO_SMALL;
            }
            std::copy_n(step.answer.data(), dataLength, response);
        }
        *responseLength = dataLength;
        return QAV_OK;
    }

    uint32_t EstablishContext(uint32_t) override { return Unused(); }
    uint32_t ReleaseContext(uint32_t) override { return Unused(); }
    uint32_t ListReaders(char*, uint32_t*, uint32_t, uint32_t) override { return Unused(); }
    uint32_t GetReaderATR(const char*, uint8_t*, uint32_t*, uint32_t) override { return Unused(); }
    uint32_t Connect(const char*, uint32_t) override { return Unused(); }
    uint32_t Disconnect(uint32_t) override { return Unused(); }
    uint32_t ResetCard(uint32_t) override { return Unused(); }
    uint32_t BeginTransaction(uint32_t, uint32_t) override { return Unused(); }
    uint32_t EndTransaction(uint32_t) override { return Unused(); }

private:
    struct Step {
        std::string command;
        std::vector<uint8_t> answer;
        uint32_t rc;
        uint32_t capacity;
    };

    static uint32_t Unused() {
        ADD_FAILURE() << "card code called a reader operation other than Transmit";
        return QAV_E_NOT_SUPPORTED;
    }

    std::vector<Step> steps_;
    size_t next_ = 0;
};

}  // namespace qav::test
