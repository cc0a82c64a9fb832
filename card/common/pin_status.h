// What the commands that count tries make of the card's answer to their
// final exchange.
#pragma once

#include <cstdint>

namespace qav {

enum class PinCommand {
    kVerify,        // VerifyPIN: a count of 0 means blocked
    kChange,        // ChangePIN and ReloadPIN: any 63Cx is a wrong PIN
    kExternalAuth,  // counts like a change, but only 63Cx and 6983 mean anything
};

// 0 stays 0 and leaves *triesLeft alone; a result that is not a card status
// (a reader or library error, a bare word from GET RESPONSE) passes
// unchanged, as does a card status the command's table does not name.
// triesLeft may be null only when the result carries no count.
uint32_t DecodePinStatus(uint32_t result, PinCommand command, uint32_t* triesLeft) noexcept;

}  // namespace qav
