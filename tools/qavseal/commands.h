// The tool's commands; each returns the process exit status.
#pragma once

#include <string>
#include <vector>

namespace qavtool {

int Devices(std::vector<std::string> args);
int Info(std::vector<std::string> args);
int Apdu(std::vector<std::string> args);
int Watch(std::vector<std::string> args);

}  // namespace qavtool
