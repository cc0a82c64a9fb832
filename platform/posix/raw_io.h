// File and thread calls made straight to the kernel: safe inside a signal
// handler, and not routed through the sanitizers' interceptors (which would
// check the process's own stack, redzones included, when it is dumped).
#pragma once

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace qav::platform::raw {

inline int Open(const char* path, int flags, unsigned mode = 0) noexcept {
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

inline void Close(int fd) noexcept { syscall(SYS_close, fd); }

inline long Read(int fd, void* buffer, size_t size) noexcept {
    return syscall(SYS_read, fd, buffer, size);
}

inline long PRead(int fd, void* buffer, size_t size, uint64_t offset) noexcept {
    return syscall(SYS_pread64, fd, buffer, size, offset);
}

inline long PWrite(int fd, const void* data, size_t size, uint64_t offset) noexcept {
    return syscall(SYS_pwrite64, fd, data, size, offset);
}

inline uint32_t ThreadId() noexcept { return static_cast<uint32_t>(syscall(SYS_gettid)); }

inline uint32_t ProcessId() noexcept { return static_cast<uint32_t>(syscall(SYS_getpid)); }

// Reads a whole small file into `buffer`; the length read, 0 on failure.
inline size_t ReadSmallFile(const char* path, char* buffer, size_t capacity) noexcept {
    const int fd = Open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    size_t length = 0;
    while (length < capacity) {
        const long n = Read(fd, buffer + length, capacity - length);
        if (n <= 0) break;
        length += static_cast<size_t>(n);
    }
    Close(fd);
    return length;
}

// Hands out the lines of a file through a fixed buffer. A line longer than
// the buffer is skipped whole.
template <size_t Capacity>
class LineReader {
public:
    explicit LineReader(int fd) noexcept : fd_(fd) {}

    bool Next(const char** line, size_t* length) noexcept {
        for (;;) {
            bool skipped = false;
            for (size_t i = begin_; i < end_; ++i) {
                if (buffer_[i] != '\n') continue;
                const size_t start = begin_;
                begin_ = i + 1;
                if (skipping_) {
                    skipping_ = false;
                    skipped = true;
                    break;
                }
                *line = buffer_ + start;
                *length = i - start;
                return true;
            }
            if (skipped) continue;
            if (eof_) {
                if (begin_ >= end_ || skipping_) return false;
                *line = buffer_ + begin_;
                *length = end_ - begin_;
                begin_ = end_;
                return true;
            }
            Refill();
        }
    }

private:
    void Refill() noexcept {
        size_t kept = end_ - begin_;
        for (size_t i = 0; i < kept; ++i) buffer_[i] = buffer_[begin_ + i];
        if (kept == Capacity) {  // no line end in a full buffer
            skipping_ = true;
            kept = 0;
        }
        begin_ = 0;
        end_ = kept;
        const long n = Read(fd_, buffer_ + end_, Capacity - end_);
        if (n <= 0) {
            eof_ = true;
        } else {
            end_ += static_cast<size_t>(n);
        }
    }

    int fd_;
    char buffer_[Capacity];
    size_t begin_ = 0;
    size_t end_ = 0;
    bool eof_ = false;
    bool skipping_ = false;
};

}  // namespace qav::platform::raw
