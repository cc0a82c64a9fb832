#include "reader/reader_kind.h"

#include <cstring>

namespace qav {

ReaderKind ClassifyReader(const char* name) noexcept {
    if (name == nullptr) return ReaderKind::kGeneric;
    if (std::strncmp(name, "CUP", 3) == 0) return ReaderKind::kZhiFuTong;
    if (std::strncmp(name, "Zel", 3) != 0) return ReaderKind::kGeneric;
    const bool hasCode = std::strlen(name) >= 10;
    const char* code = name + 7;
    if (hasCode && std::strncmp(code, "002", 3) == 0) return ReaderKind::kZhiFuTong;
    if (hasCode && std::strncmp(code, "004", 3) == 0) return ReaderKind::kDongLian;
    if (hasCode && std::strncmp(code, "003", 3) == 0) return ReaderKind::kZelPlain003;
    if (hasCode && std::strncmp(code, "001", 3) == 0) return ReaderKind::kZelPlain001;
    return ReaderKind::kZelOther;
}

}  // namespace qav
