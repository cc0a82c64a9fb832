#include "options.h"
#include "secret_text.h"
#include "secure_messaging.h"
#include "session.h"

namespace qavtool {
namespace {

struct PinArgs {
    bool pinPad = false;
    uint32_t challenge = 8;
    Bytes macKey;
    Bytes encKey;
};

int Verify(const Options& options, const PinArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out, Login::kNever)) return status;
    SecretText pin;
    std::string error;
    if (!args.pinPad && !ReadPin(options.pinFd, "PIN", &pin, &error)) return out.Usage(error);
    uint32_t tries = 0;
    const uint32_t rc =
        QAV_VerifyPIN(session.Handle(), args.pinPad ? nullptr : pin.c_str(), &tries, args.pinPad);
    if (rc != QAV_OK) return FailPin(out, "verifying the PIN", rc, tries);
    out.Field("pin", "verified");
    return out.Done();
}

// The new PIN, asked twice on a terminal; once from a descriptor.
bool ReadNewPin(const Options& options, SecretText* pin, std::string* error) {
    if (!ReadPin(options.pinFd, "New PIN", pin, error)) return false;
    if (options.pinFd >= 0) return true;
    SecretText again;
    if (!ReadPin(-1, "New PIN again", &again, error)) return false;
    if (again == *pin) return true;
    *error = "the two new PINs differ";
    return false;
}

int Change(const Options& options, const PinArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out, Login::kNever)) return status;
    SecretText oldPin;
    SecretText newPin;
    std::string error;
    if (!args.pinPad && (!ReadPin(options.pinFd, "Current PIN", &oldPin, &error) ||
                         !ReadNewPin(options, &newPin, &error))) {
        return out.Usage(error);
    }
    uint32_t tries = 0;
    const uint32_t rc = QAV_ChangePIN(session.Handle(), args.pinPad ? nullptr : oldPin.c_str(),
                                      args.pinPad ? nullptr : newPin.c_str(), &tries, args.pinPad);
    if (rc != QAV_OK) return FailPin(out, "changing the PIN", rc, tries);
    out.Field("pin", "changed");
    return out.Done();
}

int Reload(const Options& options, const PinArgs& args) {
    Output out(options.json);
    Session session;
    if (const int status = session.Open(options, out, Login::kNever)) return status;
    SecretText newPin;
    std::string error;
    if (!ReadNewPin(options, &newPin, &error)) return out.Usage(error);
    const SecureKeys keys{args.macKey, args.encKey};
    uint32_t tries = 0;
    const uint32_t rc = QAV_ReloadPIN(
        session.Handle(), args.challenge, args.encKey.empty() ? nullptr : &EncryptPinBlock,
        &CommandMac, newPin.c_str(), &tries, reinterpret_cast<uintptr_t>(&keys), 0);
    if (rc != QAV_OK) return FailPin(out, "unblocking the PIN", rc, tries);
    out.Field("pin", "reloaded");
    return out.Done();
}

}  // namespace

void AddPinCommands(Registry registry) {
    CLI::App* pin = registry.app.add_subcommand("pin", "verify, change or unblock the user PIN");
    auto args = std::make_shared<PinArgs>();
    const char* pinPadHelp = "enter the PIN on the reader's PIN pad";
    AddCommand(registry, *pin, "verify", "verify the user PIN (asked without echo)", args, &Verify)
        ->add_flag("--pin-pad", args->pinPad, pinPadHelp);
    AddCommand(registry, *pin, "change", "change the user PIN: current PIN, then the new one", args,
               &Change)
        ->add_flag("--pin-pad", args->pinPad, pinPadHelp);
    CLI::App* reload =
        AddCommand(registry, *pin, "reload",
                   "unblock the PIN with a new one, the command secured by a MAC", args, &Reload);
    AddSecureKeyOptions(reload, &args->macKey, &args->encKey, &args->challenge);
}

}  // namespace qavtool
