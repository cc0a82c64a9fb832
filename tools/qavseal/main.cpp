// qavseal: the seal-key tool, written against the public C interface.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"

namespace {

constexpr const char kUsage[] =
    "usage: qavseal <command> [options]\n"
    "\n"
    "commands:\n"
    "  devices [--all]                 list the readers that hold a seal key\n"
    "                                  (--all: every reader with a usable card)\n"
    "  info [--reader NAME]            open the key and show its reader, ATR,\n"
    "                                  abilities, ability data and states\n"
    "  apdu [--reader NAME] HEX...     send raw command APDUs, show the answers\n"
    "  watch                           print devices as they arrive and leave,\n"
    "                                  until interrupted\n"
    "  help                            show this text\n"
    "\n"
    "Without --reader, commands use the first seal key listed.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "help") == 0 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "devices") return qavtool::Devices(std::move(args));
    if (command == "info") return qavtool::Info(std::move(args));
    if (command == "apdu") return qavtool::Apdu(std::move(args));
    if (command == "watch") return qavtool::Watch(std::move(args));
    std::fprintf(stderr, "qavseal: unknown command %s\n%s", command.c_str(), kUsage);
    return 2;
}
