// qavseal: the seal-key tool, written against the public C interface.
#include <fcntl.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstring>
#include <string>

#include "options.h"
#include "output.h"

int main(int argc, char** argv) {
    using namespace qavtool;
    CLI::App app{"qavseal: list, inspect and use electronic-seal keys.", "qavseal"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "qavseal " QAV_TOOL_VERSION);
    // Global options may come after the command too.
    app.fallthrough();
    Options options;
    app.add_option("--device", options.device,
                   "the reader of the seal key to use (default: the first seal key listed)");
    app.add_flag("--json", options.json,
                 "print one JSON document instead of text, errors included (watch: one JSON "
                 "object a line)");
    app.add_flag("--verify-pin", options.verifyPin,
                 "verify the user PIN, asked on the terminal, before the command");
    app.add_option("--pin-fd", options.pinFd,
                   "read PINs from this open file descriptor, one a line: the PIN to verify "
                   "first (implies --verify-pin), or the PINs of the pin commands (change: two "
                   "lines, the current PIN, then the new one)")
        ->check(CLI::NonNegativeNumber);

    Action action;
    const Registry registry{app, options, action};
    for (auto add : {AddDeviceCommands, AddInfoCommands, AddApduCommand, AddPinCommands,
                     AddDigestCommands, AddFileCommands, AddContainerCommands, AddKeyCommands,
                     AddSealCommands, AddSessionKeyCommands, AddAuthCommands, AddCipherCommands}) {
        add(registry);
    }
    for (CLI::App* command : app.get_subcommands({})) {
        if (command->get_subcommands({}).empty()) continue;
        command->require_subcommand(1);
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForAllHelp& help) {
        return app.exit(help);
    } catch (const CLI::CallForVersion& version) {
        return app.exit(version);
    } catch (const CLI::ParseError& error) {
        app.exit(error);
        // --json may not have been reached when parsing stopped.
        bool json = false;
        for (int i = 1; i < argc; ++i) json = json || std::strcmp(argv[i], "--json") == 0;
        if (json) {
            const nlohmann::ordered_json document = {
                {"error", {{"kind", "usage"}, {"message", error.what()}}}};
            std::printf("%s\n", document.dump(2).c_str());
        }
        return 2;
    }
    if (options.pinFd >= 0 && fcntl(options.pinFd, F_GETFD) == -1) {
        const std::string fd = std::to_string(options.pinFd);
        return Output(options.json)
            .Usage("--pin-fd " + fd + ": descriptor " + fd +
                   " is not open; open it on the PIN file, e.g. --pin-fd 3 3<pinfile");
    }
    return action ? action() : 2;
}
