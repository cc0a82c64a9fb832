// Random commands, some shaped like the card's own, never break the card:
// every one gets a status word, none an internal failure (6F00).
#include <random>

#include "card_fixture.h"

namespace vcard_test {
namespace {

constexpr uint8_t kClasses[] = {0x00, 0x04, 0x80, 0x84, 0xA0};
constexpr uint8_t kInstructions[] = {0xA4, 0xB0, 0xD6, 0x84, 0xC0, 0x20, 0x82, 0x88, 0xB2, 0x4A,
                                     0x5E, 0xCC, 0xCD, 0x42, 0x40, 0x46, 0x48, 0x4C, 0x4E, 0xC9,
                                     0xC6, 0xC2, 0xC8, 0xD8, 0xFA, 0xC4, 0x1A, 0x2A, 0x3A};
constexpr uint8_t kTags[] = {0xC0, 0xC1, 0xC2, 0xC3, 0xC7, 0xC9, 0xCA, 0xCB, 0xCC, 0xCD};
constexpr uint16_t kFiles[] = {0x2101, 0x2102, 0x2103, 0x2201, 0x2202, 0x2203, 0x2204,
                               0x3001, 0x3101, 0x4000, 0x0FFF, 0x1011, 0x0000};

Bytes RandomData(std::mt19937& rng) {
    Bytes data;
    const int elements = static_cast<int>(rng() % 4);
    for (int i = 0; i < elements; ++i) {
        data.push_back(kTags[rng() % sizeof kTags]);
        if (rng() % 2 == 0) {
            const uint16_t file = kFiles[rng() % (sizeof kFiles / sizeof kFiles[0])];
            data.insert(data.end(),
                        {0x02, static_cast<uint8_t>(file >> 8), static_cast<uint8_t>(file)});
        } else {
            const size_t length = rng() % 70;
            data.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 0x81 : length));
            for (size_t j = 0; j < length; ++j) data.push_back(static_cast<uint8_t>(rng()));
        }
    }
    if (rng() % 4 == 0) {
        const size_t length = rng() % 40;
        for (size_t j = 0; j < length; ++j) data.push_back(static_cast<uint8_t>(rng()));
    }
    if (data.size() > 255) data.resize(255);
    return data;
}

void Hammer(vcard::SealCard& card, unsigned seed, int rounds) {
    std::mt19937 rng(seed);
    for (int i = 0; i < rounds; ++i) {
        Bytes command{kClasses[rng() % sizeof kClasses],
                      kInstructions[rng() % sizeof kInstructions],
                      static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 4),
                      static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 4)};
        const Bytes data = RandomData(rng);
        if (!data.empty()) {
            command.push_back(static_cast<uint8_t>(data.size()));
            command.insert(command.end(), data.begin(), data.end());
        }
        if (rng() % 2 == 0) command.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng()));
        if (rng() % 50 == 0) command.resize(rng() % command.size());
        // Now and then with the PIN verified, to reach the guarded commands.
        if (rng() % 40 == 0) card.Transmit(Hex("002000000412345678"));
        const Bytes answer = card.Transmit(command);
        ASSERT_GE(answer.size(), 2u) << Hex(command);
        ASSERT_NE(Sw(answer), 0x6F00) << "internal failure on " << Hex(command);
    }
}

TEST_F(CardTest, RandomCommandsAlwaysGetAStatusWordUnderT1) { Hammer(*card_, 1, 4000); }

TEST_F(CardTest, RandomCommandsAlwaysGetAStatusWordUnderT0) {
    options_.transport = vcard::Transport::T0;
    Rebuild();
    Hammer(*card_, 2, 4000);
}

}  // namespace
}  // namespace vcard_test
