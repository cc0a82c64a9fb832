#include <cstdio>

#include "commands.h"
#include "result_messages.h"
#include "session.h"

namespace qavtool {

int Apdu(std::vector<std::string> args) {
    std::string reader;
    if (!TakeReaderOption(&args, &reader) || args.empty()) {
        std::fprintf(stderr, "usage: qavseal apdu [--reader NAME] HEX...\n");
        return 2;
    }
    std::vector<std::vector<uint8_t>> commands;
    for (const std::string& arg : args) {
        std::vector<uint8_t> command;
        if (!ParseHex(arg, &command) || command.empty()) {
            std::fprintf(stderr, "qavseal apdu: not a command in hexadecimal: %s\n", arg.c_str());
            return 2;
        }
        commands.push_back(std::move(command));
    }
    const Library library;
    if (library.Result() != QAV_OK) return Fail("starting the library", library.Result());
    Device device;
    if (const uint32_t rc = device.Open(reader)) return Fail("opening the seal key", rc);

    for (const std::vector<uint8_t>& command : commands) {
        std::vector<uint8_t> response(65536);
        auto length = static_cast<uint32_t>(response.size());
        uint32_t sw = 0;
        std::printf("> %s\n", ToHex(command.data(), command.size()).c_str());
        const uint32_t rc =
            QAV_Transmit(device.Handle(), command.data(), static_cast<uint32_t>(command.size()),
                         response.data(), &length, &sw, 0);
        if (rc != QAV_OK) return Fail("sending the command", rc);
        std::printf("< %s%s%04X\n", ToHex(response.data(), length).c_str(), length != 0 ? " " : "",
                    sw);
    }
    return 0;
}

}  // namespace qavtool
