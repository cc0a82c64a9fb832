#include "fake_pcsc/fake_card.h"

#include <gtest/gtest.h>

#include <cctype>
#include <stdexcept>

namespace qav::fake {

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    int high = -1;
    for (const char c : hex) {
        if (std::isspace(static_cast<unsigned char>(c))) continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument(hex);
        const int value = std::isdigit(static_cast<unsigned char>(c))
                              ? c - '0'
                              : std::toupper(static_cast<unsigned char>(c)) - 'A' + 10;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument(hex);
    return bytes;
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

std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }

ScriptedCard::ScriptedCard(Bytes atr, uint32_t protocol)
    : atr_(std::move(atr)), protocol_(protocol) {}

ScriptedCard::~ScriptedCard() {
    if (next_ < steps_.size()) {
        ADD_FAILURE() << "scripted card: " << steps_.size() - next_
                      << " step(s) never sent, first is step " << next_ + 1 << ": "
                      << ToHex(steps_[next_].command);
    }
}

ScriptedCard& ScriptedCard::Expect(const std::string& commandHex, const std::string& answerHex) {
    steps_.push_back({FromHex(commandHex), FromHex(answerHex)});
    return *this;
}

Bytes ScriptedCard::Transmit(const Bytes& command) {
    if (next_ >= steps_.size()) {
        ADD_FAILURE() << "scripted card: unexpected command after the last step: "
                      << ToHex(command);
        return {0x6F, 0x00};
    }
    const Step& step = steps_[next_++];
    if (command != step.command) {
        ADD_FAILURE() << "scripted card: step " << next_ << " expected " << ToHex(step.command)
                      << " but got " << ToHex(command);
        return {0x6F, 0x00};
    }
    return step.answer;
}

}  // namespace qav::fake
