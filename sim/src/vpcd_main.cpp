// qavseal-vcard: serves one virtual seal key to pcscd's vpcd driver.
//
// The card is "inserted" while the program holds a connection to vpcd.
// Insert and remove it with SIGUSR2 / SIGUSR1, or by writing a line
// "insert", "remove" or "quit" into the control FIFO (--control). Two more
// lines make faults at a known point: "delay MS" holds every later answer
// back MS milliseconds (a slow card), "remove-after N" pulls the card
// after N more answers.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "bytes.h"
#include "vcard/seal_card.h"
#include "vpcd_link.h"

namespace {

volatile std::sig_atomic_t g_quit = 0;
volatile std::sig_atomic_t g_insert = 0;
volatile std::sig_atomic_t g_remove = 0;

void OnSignal(int signal) {
    if (signal == SIGUSR1)
        g_remove = 1;
    else if (signal == SIGUSR2)
        g_insert = 1;
    else
        g_quit = 1;
}

struct Settings {
    std::string host = "127.0.0.1";
    uint16_t port = 35963;
    std::string image;
    std::string control;
    bool startRemoved = false;
    bool verbose = false;
    bool save = true;
    bool atrSent = false;
    long answerDelayMs = 0;
    long removeAfter = -1;  // answers left before the card is pulled; -1 never
    vcard::Options options;
};

void Usage() {
    std::cerr
        << "usage: qavseal-vcard [--image FILE.json] [--host HOST] [--port PORT | --slot N]\n"
           "                     [--control FIFO] [--removed] [--t0] [--atr HEX] [--fail-probe]\n"
           "                     [--vanish-after N] [--payment-needs-le] [--verbose]\n"
           "                     [--no-save]\n"
           "  --image   card image; created with the default key when missing, saved after each "
           "change\n"
           "  --no-save the image is read (or created) but changes are not written back\n"
           "  --slot N  vpcd port 35963 + N (default slot 0)\n"
           "  --control FIFO  lines 'insert', 'remove', 'quit' (SIGUSR2 / SIGUSR1 do the same),\n"
           "                  'delay MS' (every answer MS ms late), 'remove-after N'\n";
}

bool ParseArgs(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--image")
            s.image = value();
        else if (arg == "--host")
            s.host = value();
        else if (arg == "--port")
            s.port = static_cast<uint16_t>(std::stoul(value()));
        else if (arg == "--slot")
            s.port = static_cast<uint16_t>(35963 + std::stoul(value()));
        else if (arg == "--control")
            s.control = value();
        else if (arg == "--removed")
            s.startRemoved = true;
        else if (arg == "--verbose")
            s.verbose = true;
        else if (arg == "--no-save")
            s.save = false;
        else if (arg == "--t0")
            s.options.transport = vcard::Transport::T0;
        else if (arg == "--atr")
            s.options.atr = vcard::FromHex(value());
        else if (arg == "--fail-probe")
            s.options.failProbe = true;
        else if (arg == "--vanish-after")
            s.options.vanishAfter = std::stol(value());
        else if (arg == "--payment-needs-le")
            s.options.paymentNeedsLe = true;
        else
            return false;
    }
    return true;
}

std::unique_ptr<vcard::SealCard> LoadCard(const Settings& s) {
    if (!s.image.empty() && access(s.image.c_str(), R_OK) == 0)
        return vcard::SealCard::FromJsonFile(s.image, s.options);
    auto card = vcard::SealCard::CreateDefault(s.options);
    if (!s.image.empty()) card->SaveJson(s.image);
    return card;
}

class ControlFifo {
public:
    explicit ControlFifo(const std::string& path) {
        if (path.empty()) return;
        if (mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST)
            throw std::runtime_error("mkfifo " + path);
        // Opened for writing too, so the FIFO never reports end of file.
        fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("open " + path);
    }
    ControlFifo(const ControlFifo&) = delete;
    ControlFifo& operator=(const ControlFifo&) = delete;
    ~ControlFifo() {
        if (fd_ >= 0) close(fd_);
    }
    int Fd() const { return fd_; }
    void Drain(Settings& s) {
        char chunk[256];
        ssize_t n;
        while ((n = read(fd_, chunk, sizeof chunk)) > 0)
            pending_.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = pending_.find('\n')) != std::string::npos) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line == "insert")
                g_insert = 1;
            else if (line == "remove")
                g_remove = 1;
            else if (line == "quit")
                g_quit = 1;
            else if (line.rfind("delay ", 0) == 0)
                s.answerDelayMs = std::strtol(line.c_str() + 6, nullptr, 10);
            else if (line.rfind("remove-after ", 0) == 0)
                s.removeAfter = std::strtol(line.c_str() + 13, nullptr, 10);
        }
    }

private:
    int fd_ = -1;
    std::string pending_;
};

void Log(const Settings& s, const char* what, const vcard::Bytes& bytes) {
    if (s.verbose)
        std::cerr << "vcard[" << s.port << "] " << what << ' ' << vcard::ToHex(bytes) << '\n';
}

// One message from vpcd; false when the card has to leave the reader.
bool Serve(Settings& s, vcard::SealCard& card, vcard::VpcdLink& link, const vcard::Bytes& message) {
    if (message.size() == 1) {
        switch (message[0]) {
            case 0x00:
                return true;  // power off
            case 0x01:
            case 0x02:
                card.Reset();
                return true;
            case 0x04:
                if (s.verbose || !s.atrSent)
                    std::cerr << "qavseal-vcard: ATR sent on port " << s.port << '\n';
                s.atrSent = true;
                return link.Send(card.Atr());
            default:
                return true;
        }
    }
    Log(s, ">", message);
    const vcard::Bytes answer = card.Transmit(message);
    Log(s, "<", answer);
    if (answer.empty()) return false;  // the card vanished
    if (card.Modified() && s.save && !s.image.empty()) {
        card.SaveJson(s.image);
        card.ClearModified();
    }
    if (s.answerDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(s.answerDelayMs));
    if (!link.Send(answer)) return false;
    if (s.removeAfter > 0 && --s.removeAfter == 0) {
        s.removeAfter = -1;
        g_remove = 1;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    try {
        if (!ParseArgs(argc, argv, settings)) {
            Usage();
            return 2;
        }
        struct sigaction action {};
        action.sa_handler = OnSignal;
        sigemptyset(&action.sa_mask);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2})
            sigaction(signal, &action, nullptr);

        std::unique_ptr<vcard::SealCard> card = LoadCard(settings);
        ControlFifo control(settings.control);
        vcard::VpcdLink link(settings.host, settings.port);
        bool inserted = !settings.startRemoved;
        std::cerr << "qavseal-vcard: serving " << settings.host << ':' << settings.port
                  << (inserted ? "" : " (card removed)") << '\n';
        while (g_quit == 0) {
            if (g_remove != 0) {
                g_remove = 0;
                inserted = false;
            }
            if (g_insert != 0) {
                g_insert = 0;
                inserted = true;
                if (!card->Present()) {
                    // A vanished card comes back as a fresh insertion of the same image.
                    vcard::Options options = settings.options;
                    options.vanishAfter = -1;
                    card = vcard::SealCard::FromJson(card->ToJson(), options);
                }
            }
            if (!inserted && link.Connected()) {
                link.Close();
                settings.atrSent = false;
                std::cerr << "qavseal-vcard: card removed from port " << settings.port << '\n';
            }
            if (inserted && !link.Connected() && link.Connect()) {
                std::cerr << "qavseal-vcard: card inserted on port " << settings.port << '\n';
            }

            pollfd fds[2] = {{link.Fd(), POLLIN, 0}, {control.Fd(), POLLIN, 0}};
            if (poll(fds, 2, 200) < 0) continue;  // a signal
            if ((fds[1].revents & POLLIN) != 0) control.Drain(settings);
            if (link.Connected() && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                vcard::Bytes message;
                if (!link.Receive(message)) {
                    link.Close();  // vpcd went away; reconnect on the next round
                    settings.atrSent = false;
                    continue;
                }
                if (!Serve(settings, *card, link, message)) {
                    link.Close();
                    if (!card->Present()) inserted = false;
                }
            }
        }
        if (card->Modified() && !settings.image.empty()) card->SaveJson(settings.image);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "qavseal-vcard: " << e.what() << '\n';
        return 1;
    }
}
