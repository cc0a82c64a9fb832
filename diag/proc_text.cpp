#include "diag/proc_text.h"

#include <cstring>

namespace qav::diag {

namespace {

// A cursor over one line; every reader stops at the line's end.
struct Cursor {
    const char* at;
    const char* end;

    bool Done() const noexcept { return at >= end; }
    bool Take(char expected) noexcept {
        if (Done() || *at != expected) return false;
        ++at;
        return true;
    }
    bool Number(uint64_t* value, unsigned base) noexcept {
        const char* const first = at;
        uint64_t result = 0;
        for (; !Done(); ++at) {
            unsigned digit = 0;
            const char c = *at;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (base == 16 && c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (base == 16 && c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                break;
            }
            if (result > (UINT64_MAX - digit) / base) return false;
            result = result * base + digit;
        }
        *value = result;
        return at != first;
    }
    bool Number32(uint32_t* value, unsigned base) noexcept {
        uint64_t wide = 0;
        if (!Number(&wide, base) || wide > UINT32_MAX) return false;
        *value = static_cast<uint32_t>(wide);
        return true;
    }
    void SkipSpaces() noexcept {
        while (!Done() && *at == ' ') ++at;
    }
    // Moves past the next `separator`; false when there is none.
    bool SkipPast(char separator) noexcept {
        while (!Done() && *at != separator) ++at;
        return Take(separator);
    }
};

}  // namespace

bool ParseActiveUid(const char* text, size_t length, uint32_t* uid) noexcept {
    static constexpr char kKey[] = "ACTIVE_UID=";
    const size_t keyLength = sizeof(kKey) - 1;
    const char* const end = text + length;
    for (const char* line = text; line < end;) {
        const char* lineEnd = line;
        while (lineEnd < end && *lineEnd != '\n') ++lineEnd;
        if (static_cast<size_t>(lineEnd - line) > keyLength &&
            std::memcmp(line, kKey, keyLength) == 0) {
            Cursor cursor{line + keyLength, lineEnd};
            return cursor.Number32(uid, 10) && cursor.Done();
        }
        line = lineEnd + 1;
    }
    return false;
}

bool ParsePasswdLine(const char* line, size_t length, uint32_t uid, PasswdEntry* entry) noexcept {
    Cursor cursor{line, line + length};
    uint32_t lineUid = 0;
    uint32_t gid = 0;
    if (!cursor.SkipPast(':') || !cursor.SkipPast(':') || !cursor.Number32(&lineUid, 10) ||
        !cursor.Take(':') || !cursor.Number32(&gid, 10) || !cursor.Take(':') ||
        !cursor.SkipPast(':')) {
        return false;
    }
    if (lineUid != uid) return false;
    const char* const home = cursor.at;
    while (!cursor.Done() && *cursor.at != ':') ++cursor.at;
    if (cursor.at == home) return false;
    entry->gid = gid;
    entry->home = home;
    entry->homeLength = static_cast<size_t>(cursor.at - home);
    return true;
}

bool ParseMapsLine(const char* line, size_t length, MapsLine* out) noexcept {
    Cursor cursor{line, line + length};
    uint64_t major = 0;
    uint64_t minor = 0;
    if (!cursor.Number(&out->start, 16) || !cursor.Take('-') || !cursor.Number(&out->end, 16) ||
        !cursor.Take(' ') || cursor.end - cursor.at < 5) {
        return false;
    }
    out->readable = cursor.at[0] == 'r';
    out->executable = cursor.at[2] == 'x';
    cursor.at += 4;
    if (!cursor.Take(' ') || !cursor.Number(&out->offset, 16) || !cursor.Take(' ') ||
        !cursor.Number(&major, 16) || !cursor.Take(':') || !cursor.Number(&minor, 16) ||
        !cursor.Take(' ') || !cursor.Number(&out->inode, 10) || out->end < out->start ||
        major > UINT32_MAX || minor > UINT32_MAX) {
        return false;
    }
    out->deviceMajor = static_cast<uint32_t>(major);
    out->deviceMinor = static_cast<uint32_t>(minor);
    cursor.SkipSpaces();
    out->path = cursor.at;
    out->pathLength = static_cast<size_t>(cursor.end - cursor.at);
    return true;
}

bool ParseSyscallLine(const char* text, size_t length, uint64_t* stack,
                      uint64_t* instruction) noexcept {
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == ' ')) --length;
    if (length == 0 || !(text[0] == '-' || (text[0] >= '0' && text[0] <= '9'))) return false;
    // The last two fields, each "0x" and hex digits.
    uint64_t values[2] = {};
    size_t end = length;
    for (int field = 1; field >= 0; --field) {
        size_t start = end;
        while (start > 0 && text[start - 1] != ' ') --start;
        if (start == 0 || end - start < 3 || text[start] != '0' || text[start + 1] != 'x') {
            return false;
        }
        Cursor cursor{text + start + 2, text + end};
        if (!cursor.Number(&values[field], 16) || !cursor.Done()) return false;
        end = start - 1;
    }
    *stack = values[0];
    *instruction = values[1];
    return true;
}

}  // namespace qav::diag
