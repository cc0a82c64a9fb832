#include "secret_text.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/secure_memory.h"

namespace qavtool {
namespace {

// Turns echo off on the terminal for its lifetime.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff() {
        if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return fd_; }

private:
    int fd_;
};

enum class Line { kRead, kEnded, kTooLong, kFailed };

// One byte at a time, so a second PIN on the same descriptor stays unread.
Line ReadLine(int fd, SecretText* line) {
    char c = 0;
    const qav::platform::WipeOnExit wipe(&c, sizeof c);
    bool any = false;
    ssize_t got = 0;
    while ((got = read(fd, &c, 1)) == 1) {
        any = true;
        if (c == '\n') return Line::kRead;
        if (c != '\r' && !line->Append(c)) return Line::kTooLong;
    }
    if (got < 0) return Line::kFailed;
    return any ? Line::kRead : Line::kEnded;
}

}  // namespace

SecretText::~SecretText() { qav::platform::SecureWipe(text_, sizeof text_); }

bool SecretText::operator==(const SecretText& other) const {
    return size_ == other.size_ && std::memcmp(text_, other.text_, size_) == 0;
}

bool SecretText::Append(char c) {
    if (size_ == kCapacity) return false;
    text_[size_++] = c;
    return true;
}

bool ReadPin(int fd, const char* prompt, SecretText* pin, std::string* error) {
    if (fd >= 0) {
        const std::string source = "--pin-fd " + std::to_string(fd) + ": ";
        switch (ReadLine(fd, pin)) {
            case Line::kRead:
                return true;
            case Line::kEnded:
                *error = source + "the descriptor ended before a line with the " + prompt;
                break;
            case Line::kTooLong:
                *error = source + "the line with the " + prompt + " is too long for a PIN";
                break;
            case Line::kFailed:
                *error = source + "cannot read the descriptor: " + std::strerror(errno);
                break;
        }
        return false;
    }
    const Descriptor tty(open("/dev/tty", O_RDWR | O_CLOEXEC));
    if (tty.Get() < 0) {
        *error = "no terminal to ask for the PIN on; give it with --pin-fd N";
        return false;
    }
    const std::string question = std::string(prompt) + ": ";
    if (write(tty.Get(), question.data(), question.size()) < 0) {
        *error = "the terminal cannot be written to";
        return false;
    }
    bool read = false;
    {
        const EchoOff quiet(tty.Get());
        read = ReadLine(tty.Get(), pin) == Line::kRead;
    }
    if (write(tty.Get(), "\n", 1) < 0) read = false;
    if (!read) *error = "no PIN was entered";
    return read;
}

}  // namespace qavtool
