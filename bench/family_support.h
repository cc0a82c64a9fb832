// One export family against the commands it sends, replayed raw on the same
// card: the library's steady-state call is recorded once at start-up.
#pragma once

#include <functional>
#include <string>

#include "bench_setup.h"

namespace bench {

// Registers "Family/<name>" (or fails it when the export does not work) and
// adds its summary line to lines. control: a second connection to the same
// card, whose replay is timed as a third side (raw_control_ratio: raw over
// control).
void RegisterFamily(Lines& lines, const std::string& name, const std::string& label,
                    const RawCard& raw, const RawCard& control, std::function<bool()> call);

// A benchmark that only reports why it could not run.
void RegisterFailure(const std::string& name, const std::string& why);

}  // namespace bench
