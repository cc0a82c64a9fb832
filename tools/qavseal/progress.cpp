#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace qavtool {

ProgressBar* ProgressBar::current_ = nullptr;

ProgressBar::ProgressBar(const char* label) : label_(label), terminal_(isatty(STDERR_FILENO) == 1) {
    current_ = this;
}

ProgressBar::~ProgressBar() {
    current_ = nullptr;
    if (drawn_) std::fputc('\n', stderr);
}

QAV_ProgressCallback ProgressBar::Callback() const { return terminal_ ? &Report : nullptr; }

uint32_t QAV_CALLBACK ProgressBar::Report(uint32_t percent, uintptr_t, uint32_t) {
    if (current_ != nullptr) current_->Draw(percent > 100 ? 100 : percent);
    return 0;
}

void ProgressBar::Draw(uint32_t percent) {
    constexpr uint32_t kWidth = 30;
    const uint32_t filled = percent * kWidth / 100;
    const std::string bar = std::string(filled, '#') + std::string(kWidth - filled, ' ');
    std::fprintf(stderr, "\r%s [%s] %3u%%", label_, bar.c_str(), percent);
    std::fflush(stderr);
    drawn_ = true;
}

}  // namespace qavtool
