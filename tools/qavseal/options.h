// The global options and the way each command family hooks into the parser.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <memory>
#include <string>

namespace qavtool {

struct Options {
    std::string device;  // empty: the first seal key listed
    bool json = false;
    bool verifyPin = false;
    int pinFd = -1;  // -1: ask on the terminal
};

// What a command does, chosen while parsing and run once parsing succeeded,
// so a usage error never reaches the card.
using Action = std::function<int()>;

struct Registry {
    CLI::App& app;
    const Options& options;
    Action& action;
};

// Adds a subcommand whose arguments live in an Args of its own.
template <typename Args>
CLI::App* AddCommand(Registry registry, CLI::App& parent, const char* name, const char* help,
                     const std::shared_ptr<Args>& args, int (*run)(const Options&, const Args&)) {
    CLI::App* command = parent.add_subcommand(name, help);
    Action* action = &registry.action;
    const Options* options = &registry.options;
    command->callback([action, options, args, run] {
        *action = [options, args, run] { return run(*options, *args); };
    });
    return command;
}

void AddDeviceCommands(Registry registry);      // devices, watch
void AddInfoCommands(Registry registry);        // info, abilities, state, reset, clear-state
void AddApduCommand(Registry registry);         // apdu
void AddPinCommands(Registry registry);         // pin verify|change|reload
void AddDigestCommands(Registry registry);      // random, hash
void AddFileCommands(Registry registry);        // file read|write
void AddContainerCommands(Registry registry);   // containers, cert, verify-cert
void AddKeyCommands(Registry registry);         // keygen, pubkey, key-write, key-calc
void AddSealCommands(Registry registry);        // sign, picture, watermark, seal-write, cardnumber
void AddSessionKeyCommands(Registry registry);  // session-key ...
void AddAuthCommands(Registry registry);        // auth internal|external, card-key ...
void AddCipherCommands(Registry registry);      // cipher encrypt|decrypt|mac

}  // namespace qavtool

#include "bytes.h"

namespace qavtool {

// --name HEX into bytes; bad hexadecimal is a usage error.
CLI::Option* AddHexOption(CLI::App* command, const std::string& name, Bytes* bytes,
                          const std::string& help);
// --name HEX into a number (file identifiers and the like).
CLI::Option* AddHexNumberOption(CLI::App* command, const std::string& name, uint32_t* value,
                                const std::string& help);
// sm3 / sha1 / sha256 to the library's algorithm numbers.
extern const std::map<std::string, uint32_t> kHashAlgorithms;

// --name FILE: a key file (see LoadKey), read after parsing.
CLI::Option* AddKeyFileOption(CLI::App* command, const std::string& name, std::string* path,
                              const std::string& help);
// --mac-key-file (required), --enc-key-file (unless encKeyFile is null; its
// help says what the key encrypts) and --challenge of the secured commands.
void AddSecureKeyOptions(CLI::App* command, std::string* macKeyFile, std::string* encKeyFile,
                         uint32_t* challenge, const char* encHelp = "");

}  // namespace qavtool
