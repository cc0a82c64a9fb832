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

int FailPin(Output& out, const char* during, uint32_t rc, uint32_t triesLeft) {
    if (rc == QAV_E_PIN_WRONG || rc == QAV_E_PIN_BLOCKED) out.Field("tries_left", triesLeft);
    return out.Fail(during, rc);
}

}  // namespace qavtool
