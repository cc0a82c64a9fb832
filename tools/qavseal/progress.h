// A progress bar on stderr for long file transfers; nothing at all when
// stderr is not a terminal, so logs and pipes stay clean.
#pragma once

#include <cstdint>

#include "qavseal/qavseal.h"

namespace qavtool {

class ProgressBar {
public:
    explicit ProgressBar(const char* label);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Null when there is no terminal: the library then reports nothing. The
    // callback ignores its user value, which secured writes share with their
    // encryption callbacks; the tool shows one bar at a time.
    QAV_ProgressCallback Callback() const;

private:
    static uint32_t QAV_CALLBACK Report(uint32_t percent, uintptr_t user, uint32_t reserved);
    void Draw(uint32_t percent);

    static ProgressBar* current_;
    const char* label_;
    bool terminal_;
    bool drawn_ = false;
};

}  // namespace qavtool
