// Identity-card readers that answer some commands with "busy, poll me":
// their Transmit keeps polling and hands back the final answer.
#pragma once

#include "reader/reader_pcsc.h"

namespace qav {

// Polls are bounded so a reader stuck in its busy answer cannot hang the
// caller: after this many polls the busy answer itself is handed back (its
// status word, 8060 or 9600, then tells the caller what happened).
inline constexpr uint32_t kMaxReaderPolls = 10000;

// Commands F0 F2 .. answered 9000 are followed by polls F0 F2 10 00 00 while
// the reader answers 8060.
class CReaderDongLian : public CReaderPCSC {
public:
    CReaderDongLian() = default;
    explicit CReaderDongLian(const CReaderPCSC& master) : CReaderPCSC(master) {}
    ~CReaderDongLian() override = default;

    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength, uint32_t* statusWord, uint32_t reserved) override;
};

// Any command answered 9600 is followed by polls 7E 96 00 00 00 until the
// answer is something else.
class CReaderZhiFuTong : public CReaderPCSC {
public:
    CReaderZhiFuTong() = default;
    explicit CReaderZhiFuTong(const CReaderPCSC& master) : CReaderPCSC(master) {}
    ~CReaderZhiFuTong() override = default;

    uint32_t Transmit(const uint8_t* command, uint32_t commandLength, uint8_t* response,
                      uint32_t* responseLength, uint32_t* statusWord, uint32_t reserved) override;
};

}  // namespace qav
