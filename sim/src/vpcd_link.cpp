#include "vpcd_link.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace vcard {
namespace {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};

}  // namespace

bool VpcdLink::Connect() {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* raw = nullptr;
    if (getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &raw) != 0) return false;
    const std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
    for (const addrinfo* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        const int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            fd_ = fd;
            return true;
        }
        close(fd);
    }
    return false;
}

void VpcdLink::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool VpcdLink::ReadExactly(uint8_t* out, size_t count) {
    while (count > 0) {
        // vpcd writes a frame's length and its body in two sends without
        // TCP_NODELAY: a delayed acknowledgement of the length would hold the
        // body back for up to 40 ms. Quick-ack mode does not stay on by itself.
        const int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        const ssize_t n = read(fd_, out, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool VpcdLink::Receive(Bytes& message) {
    uint8_t header[2];
    if (!ReadExactly(header, 2)) return false;
    message.assign(static_cast<size_t>(header[0] << 8 | header[1]), 0);
    return message.empty() || ReadExactly(message.data(), message.size());
}

bool VpcdLink::Send(const Bytes& message) {
    Bytes frame;
    PutBe16(frame, static_cast<unsigned>(message.size()));
    frame.insert(frame.end(), message.begin(), message.end());
    size_t sent = 0;
    while (sent < frame.size()) {
        const ssize_t n = send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace vcard
