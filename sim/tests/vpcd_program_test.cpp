// The qavseal-vcard program against a stand-in for the vpcd driver: a TCP
// listener on a free port that speaks vpcd's framing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "card_fixture.h"

extern char** environ;

namespace vcard_test {
namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

class VpcdProgram : public ::testing::Test {
protected:
    void SetUp() override {
        listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_.get(), 1), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        dir_ = ::testing::TempDir() + "vpcd_program_" + std::to_string(getpid());
        std::filesystem::create_directories(dir_);
        const std::string port = std::to_string(ntohs(address.sin_port));
        const std::string image = dir_ + "/key.json", control = dir_ + "/ctl";
        std::vector<std::string> args = {QAVSEAL_VCARD_PROGRAM, "--port", port, "--image", image,
                                         "--control",           control};
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        ASSERT_EQ(
            posix_spawn(&child_, QAVSEAL_VCARD_PROGRAM, nullptr, nullptr, argv.data(), environ), 0);
        Accept();
    }
    void TearDown() override {
        if (child_ > 0) {
            kill(child_, SIGTERM);
            int status = 0;
            waitpid(child_, &status, 0);
        }
        std::filesystem::remove_all(dir_);
    }
    void Accept() {
        pollfd ready{listener_.get(), POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 10000), 1) << "the program did not connect";
        link_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        ASSERT_GE(link_.get(), 0);
    }
    void SendFrame(const Bytes& payload) {
        Bytes frame{static_cast<uint8_t>(payload.size() >> 8),
                    static_cast<uint8_t>(payload.size())};
        frame.insert(frame.end(), payload.begin(), payload.end());
        ASSERT_EQ(write(link_.get(), frame.data(), frame.size()),
                  static_cast<ssize_t>(frame.size()));
    }
    // The next frame; false at the end of the stream or after 10 s of silence.
    bool ReceiveFrame(Bytes& payload) {
        uint8_t header[2];
        if (!ReadAll(header, 2)) return false;
        payload.assign(static_cast<size_t>(header[0] << 8 | header[1]), 0);
        return ReadAll(payload.data(), payload.size());
    }
    bool ReadAll(uint8_t* out, size_t count) {
        while (count > 0) {
            pollfd ready{link_.get(), POLLIN, 0};
            if (poll(&ready, 1, 10000) != 1) return false;
            const ssize_t n = read(link_.get(), out, count);
            if (n <= 0) return false;
            out += n;
            count -= static_cast<size_t>(n);
        }
        return true;
    }
    Bytes Exchange(const std::string& hex) {
        SendFrame(Hex(hex));
        Bytes answer;
        EXPECT_TRUE(ReceiveFrame(answer));
        return answer;
    }
    void Control(const std::string& line) { std::ofstream(dir_ + "/ctl") << line << '\n'; }

    Fd listener_, link_;
    std::string dir_;
    pid_t child_ = -1;
};

TEST_F(VpcdProgram, SavesTheImageAfterAChangeAndRemovesTheCardOnRequest) {
    EXPECT_EQ(Hex(Exchange("002000000411111111")), "63C5");
    const auto saved = vcard::SealCard::FromJsonFile(dir_ + "/key.json");
    EXPECT_EQ(Hex(saved->Transmit(Hex("0020000000"))), "63C5") << "the failed try is in the image";

    Control("remove");
    Bytes nothing;
    EXPECT_FALSE(ReceiveFrame(nothing)) << "removal closes the link";
    Control("insert");
    Accept();
    EXPECT_EQ(Hex(Exchange("0020000000")), "63C5") << "the same card comes back";
}

}  // namespace
}  // namespace vcard_test
