#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

struct DevicesArgs {
    bool all = false;
};

int Devices(const Options& options, const DevicesArgs& args) {
    Output out(options.json);
    const Library library;
    if (library.Result() != QAV_OK) return out.Fail("starting the library", library.Result());
    char** names = nullptr;
    uint32_t count = 0;
    const uint32_t rc = QAV_GetDeviceList(&names, &count, args.all ? 1 : 0);
    if (rc != QAV_OK) return out.Fail("listing the seal keys", rc);
    out.List("devices", std::vector<std::string>(names, names + count));
    return out.Done();
}

}  // namespace

int Watch(const Options& options);

void AddDeviceCommands(Registry registry) {
    auto devices = std::make_shared<DevicesArgs>();
    AddCommand(registry, registry.app, "devices", "list the readers that hold a seal key", devices,
               &Devices)
        ->add_flag("--all", devices->all, "every reader with a usable card, whatever its name");
    auto none = std::make_shared<int>();
    AddCommand<int>(registry, registry.app, "watch",
                    "print seal keys as they arrive and leave, until interrupted", none,
                    [](const Options& options, const int&) { return Watch(options); });
}

}  // namespace qavtool
