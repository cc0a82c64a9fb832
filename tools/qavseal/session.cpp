#include "session.h"

#include "secret_text.h"

namespace qavtool {

uint32_t Device::Open(const std::string& name) {
    readerName_ = name;
    if (readerName_.empty()) {
        char** names = nullptr;
        uint32_t count = 0;
        if (const uint32_t rc = QAV_GetDeviceList(&names, &count, 0)) return rc;
        readerName_ = names[0];
    }
    return QAV_OpenDevice(readerName_.c_str(), &handle_, 0);
}

int Session::Open(const Options& options, Output& out, Login login) {
    if (library_.Result() != QAV_OK) return out.Fail("starting the library", library_.Result());
    if (const uint32_t rc = device_.Open(options.device))
        return out.Fail("opening the seal key", rc);
    if (login == Login::kNever || (!options.verifyPin && options.pinFd < 0)) return 0;
    SecretText pin;
    std::string error;
    if (!ReadPin(options.pinFd, "PIN", &pin, &error)) return out.Usage(error);
    uint32_t tries = 0;
    if (const uint32_t rc = QAV_VerifyPIN(Handle(), pin.c_str(), &tries, 0)) {
        return FailPin(out, "verifying the PIN", rc, tries);
    }
    return 0;
}

int ReadPins(const Options& options, Output& out, std::initializer_list<const char*> prompts,
             Pins* pins) {
    size_t next = 0;
    std::string error;
    for (const char* prompt : prompts) {
        SecretText* pin = pins->At(next++);
        if (!ReadPin(options.pinFd, prompt, pin, &error)) return out.Usage(error);
        // A typing mistake in a new PIN is caught by asking twice; a
        // descriptor gives it once.
        if (std::string(prompt) != kNewPin || options.pinFd >= 0) continue;
        SecretText again;
        if (!ReadPin(-1, "New PIN again", &again, &error)) return out.Usage(error);
        if (!(again == *pin)) return out.Usage("the two new PINs differ");
    }
    return 0;
}

int FailPin(Output& out, const char* during, uint32_t rc, uint32_t triesLeft) {
    if (rc == QAV_E_PIN_WRONG || rc == QAV_E_PIN_BLOCKED) out.Field("tries_left", triesLeft);
    return out.Fail(during, rc);
}

}  // namespace qavtool
