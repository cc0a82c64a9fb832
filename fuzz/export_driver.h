// Runs a sequence of QAV_* exports against a card in the fake PC/SC service
// and checks every result against what the public header promises for that
// export. Shared by the export fuzz target (card answers from the input)
// and the seed recorder (answers from the virtual key).
//
// Input layout: byte 0 flags (bit 0 T=1, bit 1 the ATR is registered before
// the run, bits 2-3 the reader's name); byte 1 the ATR length (at most 33),
// then the ATR; one byte, the number of operations (at most kMaxOps); then
// kOpSize bytes per operation (an export or a service event and its
// arguments); the card's answers fill the rest. Missing bytes read as 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "fake_pcsc/fake_pcsc.h"

namespace qav::fuzz {

using Bytes = std::vector<uint8_t>;

inline constexpr size_t kOpSize = 8;
inline constexpr size_t kMaxOps = 24;
inline constexpr size_t kMaxAtr = 33;

struct Scenario {
    uint8_t flags = 0;
    Bytes atr;
    std::vector<std::array<uint8_t, kOpSize>> ops;
    size_t answersOffset = 0;  // where the card's answers begin in the input
};

Scenario ParseScenario(const uint8_t* data, size_t size);
// The input that ParseScenario reads back as the scenario, without answers.
Bytes EncodeScenario(const Scenario& scenario);

// Card answers in the input: a byte n below 0xFC, then n bytes (data and
// status word; fewer than two is an answer without a status word, none a
// card pulled mid-command); 0xFC and a 16-bit length for a long answer;
// 0xFD k: the service fails the next exchange with error k; 0xFE: the card
// is pulled and put back before this answer (the next exchange finds it
// reset); 0xFF reserved. The end of the input is a pulled card.
inline constexpr uint8_t kAnswerLong = 0xFC;
inline constexpr uint8_t kAnswerFault = 0xFD;
inline constexpr uint8_t kAnswerReinserted = 0xFE;
void AppendAnswer(const Bytes& answer, Bytes* encoded);

// The fake service with one reader, in a private card database, and the
// library stopped. Sets up the card from the scenario, runs every operation,
// stops the library and checks that nothing of the service is left held.
// Any broken promise aborts with a message naming the export.
void RunScenario(const Scenario& scenario, const std::shared_ptr<fake::FakeCard>& card,
                 fake::FakePcsc& pcsc);

// The reader the scenario's flags name.
const char* ReaderName(uint8_t flags);

// Call once per process: a private folder for the card database and free
// retry pauses.
void PrepareProcess();

}  // namespace qav::fuzz
