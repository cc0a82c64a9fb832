// Cards that live in the fake PC/SC service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qav::fake {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex);  // spaces allowed
std::string ToHex(const Bytes& bytes);  // upper case, space separated
// Straight from the bytes, without a copy: the freed-memory watch would take
// a copy of a sent PIN block for one the library left unwiped.
std::string ToHex(const uint8_t* bytes, size_t length);

class FakeCard {
public:
    virtual ~FakeCard() = default;
    virtual Bytes Atr() const = 0;
    // Full answer: data followed by SW1 SW2. An empty answer means the card
    // is gone: the service reports it removed from then on.
    virtual Bytes Transmit(const Bytes& command) = 0;
    virtual void Reset() {}
    // 1 = T=0, 2 = T=1.
    virtual uint32_t Protocol() const { return 2; }
};

// A card that answers every command with the same status word.
class FixedCard : public FakeCard {
public:
    FixedCard(Bytes atr, Bytes answer) : atr_(std::move(atr)), answer_(std::move(answer)) {}
    Bytes Atr() const override { return atr_; }
    Bytes Transmit(const Bytes& command) override {
        commands.push_back(command);
        return answer_;
    }

    std::vector<Bytes> commands;

private:
    Bytes atr_;
    Bytes answer_;
};

// Steps of {expected command, answer}. A command that differs from its step
// fails the test with the step number and both hex strings; steps left over
// fail it when the card is destroyed.
class ScriptedCard : public FakeCard {
public:
    explicit ScriptedCard(Bytes atr, uint32_t protocol = 2);
    ~ScriptedCard() override;

    ScriptedCard& Expect(const std::string& commandHex, const std::string& answerHex);
    Bytes Atr() const override { return atr_; }
    Bytes Transmit(const Bytes& command) override;
    uint32_t Protocol() const override { return protocol_; }
    size_t StepsLeft() const { return steps_.size() - next_; }

private:
    struct Step {
        Bytes command;
        Bytes answer;
    };
    Bytes atr_;
    uint32_t protocol_;
    std::vector<Step> steps_;
    size_t next_ = 0;
};

}  // namespace qav::fake
