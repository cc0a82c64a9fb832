#include "api/transmit.h"

#include <algorithm>
#include <cstring>

#include "card/common/card.h"
#include "platform/secure_memory.h"
#include "qavseal/qavseal.h"
#include "reader/status_words.h"

namespace qav::api {

namespace {

// Room for the first exchange: a full short answer, or the caller's whole
// buffer when that is larger (an extended answer comes in one piece).
constexpr uint32_t kFirstPieceRoom = 256;

}  // namespace

uint32_t TransmitRaw(CDevice& device, const uint8_t* command, uint32_t commandLength,
                     uint8_t* response, uint32_t* responseLength, uint32_t* statusWord) {
    const uint32_t capacity = response != nullptr ? *responseLength : 0;
    platform::WipedBytes answer;
    answer.Reset(std::clamp(capacity, kFirstPieceRoom, CCard::kMaxAnswerLength));
    uint32_t received = static_cast<uint32_t>(answer.size());
    if (const uint32_t rc = device.reader->Transmit(command, commandLength, answer.data(),
                                                    &received, statusWord, 0)) {
        // The reader's too-small answer already carries the needed size.
        if (rc == QAV_E_BUFFER_TOO_SMALL) *responseLength = received;
        return rc;
    }
    if (const uint32_t rc = device.card->FetchRest(statusWord, &answer, &received)) return rc;
    // The one exception to the buffer rule: the command has run, so a size
    // query cannot come first; an answer that does not fit is lost whole
    // rather than cut short.
    if (received > capacity) {
        *responseLength = received;
        return QAV_E_BUFFER_TOO_SMALL;
    }
    if (received != 0) std::memcpy(response, answer.data(), received);
    *responseLength = received;
    return QAV_OK;
}

}  // namespace qav::api
