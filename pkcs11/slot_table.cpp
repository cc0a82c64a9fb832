#include "slot_table.h"

#include <algorithm>

namespace qav::p11 {

SlotTable::Slot* SlotTable::ByReader(const std::string& reader) {
    for (Slot& s : slots_) {
        if (s.reader == reader) return &s;
    }
    return nullptr;
}

std::optional<CK_SLOT_ID> SlotTable::Set(const std::string& reader, bool present) {
    Slot* slot = ByReader(reader);
    if (slot == nullptr) {
        if (!present) return std::nullopt;
        slots_.push_back({next_++, reader, true});
        return slots_.back().id;
    }
    if (slot->present == present) return std::nullopt;
    slot->present = present;
    return slot->id;
}

std::vector<CK_SLOT_ID> SlotTable::Update(const std::vector<std::string>& present) {
    std::vector<CK_SLOT_ID> changed;
    for (const std::string& reader : present) {
        if (const auto id = Set(reader, true)) changed.push_back(*id);
    }
    std::vector<std::string> gone;
    for (const Slot& s : slots_) {
        if (s.present && std::find(present.begin(), present.end(), s.reader) == present.end()) {
            gone.push_back(s.reader);
        }
    }
    for (const std::string& reader : gone) {
        if (const auto id = Set(reader, false)) changed.push_back(*id);
    }
    return changed;
}

const SlotTable::Slot* SlotTable::Find(CK_SLOT_ID id) const {
    for (const Slot& s : slots_) {
        if (s.id == id) return &s;
    }
    return nullptr;
}

}  // namespace qav::p11
