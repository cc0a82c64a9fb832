// A library-owned array of NUL-terminated names handed to the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qav {

class NameList {
public:
    explicit NameList(std::vector<std::string> names);
    NameList(const NameList&) = delete;
    NameList& operator=(const NameList&) = delete;

    // Valid while this list lives; the caller must not free it.
    char** Array() noexcept { return pointers_.empty() ? nullptr : pointers_.data(); }
    uint32_t Count() const noexcept { return static_cast<uint32_t>(names_.size()); }
    bool Holds(const std::vector<std::string>& names) const noexcept { return names_ == names; }

private:
    std::vector<std::string> names_;
    std::vector<char*> pointers_;
};

}  // namespace qav
