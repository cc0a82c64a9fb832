#include <winscard.h>

#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "result_messages.h"
#include "session.h"

namespace qavtool {
namespace {

// The library has no export for the ATR; the tool asks the service itself.
std::string ReaderAtr(const std::string& reader) {
    SCARDCONTEXT context = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
        return "(unavailable)";
    }
    const std::unique_ptr<SCARDCONTEXT, void (*)(SCARDCONTEXT*)> release(
        &context, [](SCARDCONTEXT* owned) { SCardReleaseContext(*owned); });
    SCARD_READERSTATE state{};
    state.szReader = reader.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    if (SCardGetStatusChange(context, 0, &state, 1) != SCARD_S_SUCCESS) return "(unavailable)";
    return ToHex(state.rgbAtr,
                 state.cbAtr < sizeof state.rgbAtr ? state.cbAtr : sizeof state.rgbAtr);
}

void PrintResult(const char* label, uint32_t rc, const std::string& value) {
    if (rc == QAV_OK) {
        std::printf("%-22s %s\n", label, value.c_str());
    } else {
        std::printf("%-22s %s (0x%08X)\n", label, DescribeResult(rc).c_str(), rc);
    }
}

}  // namespace

int Info(std::vector<std::string> args) {
    std::string reader;
    if (!TakeReaderOption(&args, &reader) || !args.empty()) {
        std::fprintf(stderr, "usage: qavseal info [--reader NAME]\n");
        return 2;
    }
    const Library library;
    if (library.Result() != QAV_OK) return Fail("starting the library", library.Result());
    Device device;
    if (const uint32_t rc = device.Open(reader)) return Fail("opening the seal key", rc);

    std::printf("%-22s %s\n", "Reader:", device.ReaderName().c_str());
    std::printf("%-22s %s\n", "ATR:", ReaderAtr(device.ReaderName()).c_str());

    uint32_t flag1 = 0;
    uint32_t flag2 = 0;
    const uint32_t abilityRc = QAV_GetSealDeviceAbility(device.Handle(), &flag1, &flag2, 0);
    PrintResult("Abilities:", abilityRc,
                "flag1 " + std::to_string(flag1) + ", flag2 " + std::to_string(flag2));

    uint8_t info[64] = {};
    const uint32_t infoRc = QAV_GetAbilityInfo(device.Handle(), info, 0);
    PrintResult("Ability data:", infoRc, ToHex(info, 32));
    if (infoRc == QAV_OK) std::printf("%-22s %s\n", "", ToHex(info + 32, 32).c_str());

    const struct {
        uint32_t kind;
        const char* label;
    } states[] = {{1, "PIN changed:"}, {2, "File A0F3 in use:"}, {4, "Payment application:"}};
    for (const auto& entry : states) {
        uint32_t state = 0;
        const uint32_t rc = QAV_GetState(device.Handle(), entry.kind, &state, 0);
        PrintResult(entry.label, rc, std::to_string(state));
    }
    return 0;
}

}  // namespace qavtool
