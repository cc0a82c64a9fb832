// Walks long input in command-sized pieces and says where each piece stands
// in the chain (the card commands put that in P1).
#pragma once

#include <algorithm>
#include <cstdint>

namespace qav {

enum class ChunkPosition : uint8_t { kOnly = 0, kFirst = 1, kMiddle = 2, kLast = 3 };

class CChunkCursor {
public:
    // A chunk size of 0 would never advance; it is taken as 1.
    CChunkCursor(uint32_t total, uint32_t chunkSize) noexcept
        : total_(total), chunkSize_(chunkSize == 0 ? 1 : chunkSize) {}

    uint32_t CurrentLength() const noexcept {
        return fixedLength_ != 0 ? fixedLength_ : std::min(chunkSize_, total_ - offset_);
    }
    void Advance() noexcept {
        const uint64_t next = uint64_t{offset_} + CurrentLength();
        offset_ = next >= total_ ? total_ : static_cast<uint32_t>(next);
    }
    bool IsDone() const noexcept { return offset_ == total_; }
    uint32_t Offset() const noexcept { return offset_; }
    uint32_t ChunkCount() const noexcept {
        return static_cast<uint32_t>((uint64_t{total_} + chunkSize_ - 1) / chunkSize_);
    }
    void SetFixedLength(uint32_t length) noexcept { fixedLength_ = length; }

    // A fixed length reaching past the end still makes this piece the last.
    ChunkPosition Position() const noexcept {
        const bool first = offset_ == 0;
        const bool last = uint64_t{offset_} + CurrentLength() >= total_;
        if (first) return last ? ChunkPosition::kOnly : ChunkPosition::kFirst;
        return last ? ChunkPosition::kLast : ChunkPosition::kMiddle;
    }

private:
    uint32_t total_;
    uint32_t chunkSize_;
    uint32_t offset_ = 0;
    uint32_t fixedLength_ = 0;
};

}  // namespace qav
