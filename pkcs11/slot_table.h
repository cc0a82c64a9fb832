// Slot bookkeeping: one slot per reader that holds or held a seal key. IDs
// are handed out in order of first sight and never reused while the module
// is initialised; a reader whose key left keeps its slot, without token.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cryptoki.h"

namespace qav::p11 {

class SlotTable {
public:
    struct Slot {
        CK_SLOT_ID id;
        std::string reader;
        bool present;
    };

    // The readers that hold a key now: new ones get slots, the others are
    // marked. Returns the slots whose presence changed.
    std::vector<CK_SLOT_ID> Update(const std::vector<std::string>& present);
    // One reader's key arrived or left (a device-change report). Returns its
    // slot when its presence changed.
    std::optional<CK_SLOT_ID> Set(const std::string& reader, bool present);

    const Slot* Find(CK_SLOT_ID id) const;
    const std::vector<Slot>& Slots() const { return slots_; }

private:
    Slot* ByReader(const std::string& reader);
    std::vector<Slot> slots_;
    CK_SLOT_ID next_ = 1;
};

}  // namespace qav::p11
