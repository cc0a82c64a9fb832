#include "reader/reader_variants.h"

#include "platform/wait.h"
#include "reader/iso_commands.h"
#include "reader/status_words.h"

namespace qav {
namespace {

constexpr uint8_t kDongLianPoll[] = {0xF0, 0xF2, 0x10, 0x00, 0x00};
constexpr uint8_t kZhiFuTongPoll[] = {0x7E, 0x96, 0x00, 0x00, 0x00};
constexpr uint32_t kPollPauseMs = 1;

}  // namespace

// The polls reuse the caller's length variable as the previous exchange left
// it, so a poll's room is the data length of the answer before it.
uint32_t CReaderDongLian::Transmit(const uint8_t* command, uint32_t commandLength,
                                   uint8_t* response, uint32_t* responseLength,
                                   uint32_t* statusWord, uint32_t /*reserved*/) {
    if (const uint32_t rc = CReaderPCSC::Transmit(command, commandLength, response, responseLength,
                                                  statusWord, 0)) {
        return rc;
    }
    if (commandLength < 2 || command[0] != kPinPadHeader.cla || command[1] != kPinPadHeader.ins ||
        *statusWord != kStatusOk) {
        return 0;
    }
    for (uint32_t poll = 0; poll < kMaxReaderPolls; ++poll) {
        platform::SleepMs(kPollPauseMs);
        if (const uint32_t rc = CReaderPCSC::Transmit(kDongLianPoll, sizeof kDongLianPoll, response,
                                                      responseLength, statusWord, 0)) {
            return rc;
        }
        if (*statusWord != kStatusPinPadBusy) return 0;
    }
    return 0;
}

uint32_t CReaderZhiFuTong::Transmit(const uint8_t* command, uint32_t commandLength,
                                    uint8_t* response, uint32_t* responseLength,
                                    uint32_t* statusWord, uint32_t /*reserved*/) {
    if (const uint32_t rc = CReaderPCSC::Transmit(command, commandLength, response, responseLength,
                                                  statusWord, 0)) {
        return rc;
    }
    for (uint32_t poll = 0; poll < kMaxReaderPolls && *statusWord == kStatusReaderBusy; ++poll) {
        platform::SleepMs(kPollPauseMs);
        if (const uint32_t rc = CReaderPCSC::Transmit(kZhiFuTongPoll, sizeof kZhiFuTongPoll,
                                                      response, responseLength, statusWord, 0)) {
            return rc;
        }
    }
    return 0;
}

}  // namespace qav
