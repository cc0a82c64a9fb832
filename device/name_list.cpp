#include "device/name_list.h"

namespace qav {

NameList::NameList(std::vector<std::string> names) : names_(std::move(names)) {
    pointers_.reserve(names_.size());
    for (std::string& name : names_) pointers_.push_back(name.data());
}

}  // namespace qav
