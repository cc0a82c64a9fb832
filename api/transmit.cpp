#include "api/transmit.h"

#include "card/common/card.h"
#include "qavseal/qavseal.h"
#include "reader/status_words.h"

namespace qav::api {

uint32_t TransmitRaw(CDevice& device, const uint8_t* command, uint32_t commandLength,
                     uint8_t* response, uint32_t* responseLength, uint32_t* statusWord) {
    const uint32_t capacity = *responseLength;
    if (const uint32_t rc = device.reader->Transmit(command, commandLength, response,
                                                    responseLength, statusWord, 0)) {
        return rc;
    }
    if (!IsBytesWaiting(*statusWord)) return QAV_OK;
    *responseLength = capacity;
    return device.card->GetResponse(statusWord, response, responseLength);
}

}  // namespace qav::api
