#include <winscard.h>

#include <memory>

#include "options.h"
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

// A question that may fail on its own without spoiling the rest of info.
void Answer(Output& out, const char* key, uint32_t rc, const nlohmann::ordered_json& value) {
    if (rc == QAV_OK) {
        out.Field(key, value);
    } else if (out.Json()) {
        out.Field(key, {{"error", ResultName(rc)}, {"message", DescribeResult(rc)}});
    } else {
        out.Field(key, DescribeResult(rc) + " (" + ResultName(rc) + ")");
    }
}

constexpr struct {
    uint32_t kind;
    const char* key;
} kStates[] = {{1, "pin_changed"}, {2, "file_A0F3_in_use"}, {4, "payment_application"}};

int Info(const Options& options, const int&) {
    return WithSession(options, [](Session& session, Output& out) {
        out.Field("reader", session.ReaderName());
        out.Field("ATR", ReaderAtr(session.ReaderName()));

        uint32_t flag1 = 0;
        uint32_t flag2 = 0;
        const uint32_t abilityRc = QAV_GetSealDeviceAbility(session.Handle(), &flag1, &flag2, 0);
        Answer(out, "abilities", abilityRc,
               out.Json() ? nlohmann::ordered_json{{"flag1", flag1}, {"flag2", flag2}}
                          : nlohmann::ordered_json("flag1 " + std::to_string(flag1) + ", flag2 " +
                                                   std::to_string(flag2)));
        uint8_t info[64] = {};
        const uint32_t infoRc = QAV_GetAbilityInfo(session.Handle(), info, 0);
        Answer(out, "ability_data", infoRc, ToHex(info, sizeof info));
        for (const auto& entry : kStates) {
            uint32_t state = 0;
            const uint32_t rc = QAV_GetState(session.Handle(), entry.kind, &state, 0);
            Answer(out, entry.key, rc, state);
        }
        return out.Done();
    });
}

struct StateArgs {
    uint32_t kind = 1;
};

int State(const Options& options, const StateArgs& args) {
    return WithSession(options, [&](Session& session, Output& out) {
        uint32_t state = 0;
        if (const uint32_t rc = QAV_GetState(session.Handle(), args.kind, &state, 0)) {
            return out.Fail("asking the state", rc);
        }
        out.Field("state", state);
        return out.Done();
    });
}

// Reset and clear-state: one call on an open key, nothing to show but success.
template <uint32_t (*kCall)(QAV_HANDLE, uint32_t)>
int Plain(const Options& options, const int&) {
    return WithSession(options, [](Session& session, Output& out) {
        if (const uint32_t rc = kCall(session.Handle(), 0)) return out.Fail("asking the card", rc);
        out.Field("result", "done");
        return out.Done();
    });
}

}  // namespace

void AddInfoCommands(Registry registry) {
    auto none = std::make_shared<int>();
    AddCommand(registry, registry.app, "info",
               "show the key's reader, ATR, abilities, ability data and states", none, &Info);
    auto state = std::make_shared<StateArgs>();
    AddCommand(registry, registry.app, "state", "answer one state question", state, &State)
        ->add_option("--kind", state->kind,
                     "1 PIN changed, 2 file A0F3 in use, 4 payment application; the card "
                     "offers no kind 3 (the library answers that it is not supported)")
        ->check(CLI::Range(1u, 4u))
        ->capture_default_str();
    AddCommand(registry, registry.app, "reset",
               "send the card's reset command, which clears its security state", none,
               &Plain<QAV_Reset>);
    AddCommand(registry, registry.app, "clear-state",
               "select the seal application anew, dropping a verified PIN", none,
               &Plain<QAV_ClearSecureState>);
}

}  // namespace qavtool
