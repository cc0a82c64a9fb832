#include <cstdio>

#include "commands.h"
#include "result_messages.h"
#include "session.h"

namespace qavtool {

int Devices(std::vector<std::string> args) {
    uint32_t showAll = 0;
    for (const std::string& arg : args) {
        if (arg != "--all") {
            std::fprintf(stderr, "qavseal devices: unknown option %s\n", arg.c_str());
            return 2;
        }
        showAll = 1;
    }
    const Library library;
    if (library.Result() != QAV_OK) return Fail("starting the library", library.Result());
    char** names = nullptr;
    uint32_t count = 0;
    const uint32_t rc = QAV_GetDeviceList(&names, &count, showAll);
    if (rc == QAV_E_NO_DEVICE) {
        std::printf("%s\n", DescribeResult(rc).c_str());
        return 1;
    }
    if (rc != QAV_OK) return Fail("listing devices", rc);
    for (uint32_t i = 0; i < count; ++i) std::printf("%s\n", names[i]);
    return 0;
}

}  // namespace qavtool
