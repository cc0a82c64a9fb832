#include "options.h"
#include "secret_text.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

struct PinArgs {
    uint32_t challenge = 8;
    std::string macKeyFile;
    std::string encKeyFile;
};

int Verify(const Options& options, const PinArgs&) {
    return WithPins(options, {"PIN"}, [&](Session& session, Output& out, const Pins& pins) {
        uint32_t tries = 0;
        if (const uint32_t rc = QAV_VerifyPIN(session.Handle(), pins[0].c_str(), &tries, 0)) {
            return FailPin(out, "verifying the PIN", rc, tries);
        }
        out.Field("pin", "verified");
        return out.Done();
    });
}

// The verify command without a PIN: the card answers with the tries left
// (a "wrong PIN" answer to the library), or success while the PIN stands
// verified.
int Tries(const Options& options, const PinArgs&) {
    return WithPins(options, {}, [&](Session& session, Output& out, const Pins&) {
        uint32_t tries = 0;
        const uint32_t rc = QAV_VerifyPIN(session.Handle(), nullptr, &tries, 1);
        if (rc == QAV_E_PIN_WRONG || rc == QAV_E_PIN_BLOCKED) {
            out.Field("tries_left", tries);
        } else if (rc == QAV_OK) {
            out.Field("pin", "verified in this session");
        } else {
            return out.Fail("asking the tries left", rc);
        }
        return out.Done();
    });
}

int Change(const Options& options, const PinArgs&) {
    return WithPins(
        options, {"Current PIN", kNewPin}, [&](Session& session, Output& out, const Pins& pins) {
            uint32_t tries = 0;
            if (const uint32_t rc =
                    QAV_ChangePIN(session.Handle(), pins[0].c_str(), pins[1].c_str(), &tries, 0)) {
                return FailPin(out, "changing the PIN", rc, tries);
            }
            out.Field("pin", "changed");
            return out.Done();
        });
}

int Reload(const Options& options, const PinArgs& args) {
    SecureKeys keys;
    std::string error;
    if (!LoadKey("--mac-key-file", args.macKeyFile, &keys.mac, &error) ||
        (!args.encKeyFile.empty() &&
         !LoadKey("--enc-key-file", args.encKeyFile, &keys.cryptogram, &error))) {
        return Output(options.json).Usage(error);
    }
    return WithPins(options, {kNewPin}, [&](Session& session, Output& out, const Pins& pins) {
        uint32_t tries = 0;
        if (const uint32_t rc =
                QAV_ReloadPIN(session.Handle(), args.challenge,
                              keys.cryptogram.empty() ? nullptr : &EncryptPinBlock, &CommandMac,
                              pins[0].c_str(), &tries, reinterpret_cast<uintptr_t>(&keys), 0)) {
            return FailPin(out, "unblocking the PIN", rc, tries);
        }
        out.Field("pin", "reloaded");
        return out.Done();
    });
}

}  // namespace

void AddPinCommands(Registry registry) {
    CLI::App* pin = registry.app.add_subcommand(
        "pin", "verify, change or unblock the user PIN, or ask the tries left");
    auto args = std::make_shared<PinArgs>();
    AddCommand(registry, *pin, "verify",
               "verify the user PIN (asked without echo, or one line from --pin-fd)", args,
               &Verify);
    AddCommand(registry, *pin, "tries",
               "ask the card how many wrong PINs it still accepts; nothing is verified", args,
               &Tries);
    AddCommand(registry, *pin, "change",
               "change the user PIN: the current PIN, then the new one (asked twice on a "
               "terminal; with --pin-fd two lines: the current PIN, then the new one)",
               args, &Change);
    CLI::App* reload = AddCommand(registry, *pin, "reload",
                                  "unblock the PIN with a new one (asked twice on a terminal, one "
                                  "line from --pin-fd), the command secured by a MAC",
                                  args, &Reload);
    AddSecureKeyOptions(reload, &args->macKeyFile, &args->encKeyFile, &args->challenge,
                        "also encrypts the new PIN block");
}

}  // namespace qavtool
