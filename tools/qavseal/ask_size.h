// Buffers as large as the library says: the size query of every export
// that takes a (buffer, length in/out) pair.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "qavseal/qavseal.h"

namespace qavtool {

// Asks the export for the size with a null buffer, then fills a buffer of
// that size plus slack. An answer that grew in between (a picture drawn
// anew) is asked for again, twice at most. The export's result; bytes hold
// the answer on success. *hasOutput (when given) is false when the export
// reported no size at all: an operation without output, such as a
// verification, which the query itself then carried out.
template <typename Fill>
uint32_t AskAndFill(Bytes* bytes, Fill fill, bool* hasOutput = nullptr, uint32_t slack = 0) {
    constexpr uint32_t kNoSize = 0xFFFFFFFFu;
    uint32_t length = kNoSize;
    uint32_t rc = fill(nullptr, &length);
    if (hasOutput != nullptr) *hasOutput = length != kNoSize;
    bytes->clear();
    if (rc != QAV_OK || length == kNoSize || length == 0) return rc;
    for (int attempt = 0; attempt < 3; ++attempt) {
        bytes->assign(static_cast<size_t>(length) + slack, 0);
        length = static_cast<uint32_t>(bytes->size());
        rc = fill(bytes->empty() ? nullptr : bytes->data(), &length);
        if (rc != QAV_E_BUFFER_TOO_SMALL) break;
    }
    bytes->resize(rc == QAV_OK && length <= bytes->size() ? length : 0);
    return rc;
}

}  // namespace qavtool
