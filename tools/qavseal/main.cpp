// qavseal: the seal-key tool, written against the public C interface only.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qavseal/qavseal.h"
#include "result_messages.h"

namespace {

constexpr const char kUsage[] =
    "usage: qavseal <command> [options]\n"
    "\n"
    "commands:\n"
    "  devices [--all]   list the readers that hold a seal key\n"
    "                    (--all: every reader with a usable card)\n"
    "  help              show this text\n";

int Fail(const char* what, uint32_t rc) {
    std::fprintf(stderr, "qavseal: %s: %s (0x%08X)\n", what, qavtool::DescribeResult(rc).c_str(),
                 rc);
    return 1;
}

// Keeps the library started for the tool's lifetime.
class Library {
public:
    Library() : rc_(QAV_Initialize(0)) {}
    ~Library() {
        if (rc_ == QAV_OK) QAV_Finalize(0);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    uint32_t Result() const { return rc_; }

private:
    uint32_t rc_;
};

int Devices(const std::vector<std::string>& args) {
    uint32_t showAll = 0;
    for (const std::string& arg : args) {
        if (arg == "--all") {
            showAll = 1;
        } else {
            std::fprintf(stderr, "qavseal devices: unknown option %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    const Library library;
    if (library.Result() != QAV_OK) return Fail("starting the library", library.Result());
    char** names = nullptr;
    uint32_t count = 0;
    const uint32_t rc = QAV_GetDeviceList(&names, &count, showAll);
    if (rc == QAV_E_NO_DEVICE) {
        std::printf("%s\n", qavtool::DescribeResult(rc).c_str());
        return 1;
    }
    if (rc != QAV_OK) return Fail("listing devices", rc);
    for (uint32_t i = 0; i < count; ++i) std::printf("%s\n", names[i]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "devices") return Devices(args);
    std::fprintf(stderr, "qavseal: unknown command %s\n%s", command.c_str(), kUsage);
    return 2;
}
