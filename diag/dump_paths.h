// Dump folder and file names, built in fixed caller buffers (a crash handler
// has no heap). The same code serves narrow POSIX paths and wide Windows ones.
#pragma once

#include <cstddef>

namespace qav::diag {

constexpr unsigned kMaxDumpNumber = 100000;

// Appends `text` at out[*length] (*length < capacity); false when it and
// the terminating NUL do not fit `capacity` characters, `out` then holding
// what fitted, terminated.
template <typename Char, typename From>
bool AppendText(Char* out, size_t capacity, size_t* length, const From* text) noexcept {
    bool fits = true;
    for (; *text != From{}; ++text) {
        if (*length + 1 >= capacity) {
            fits = false;
            break;
        }
        out[(*length)++] = static_cast<Char>(*text);
    }
    out[*length] = Char{};
    return fits;
}

// ASCII text into narrow or wide names.
template <typename Char>
bool AppendAscii(Char* out, size_t capacity, size_t* length, const char* text) noexcept {
    return AppendText(out, capacity, length, text);
}

template <typename Char>
bool AppendNumber(Char* out, size_t capacity, size_t* length, unsigned number) noexcept {
    char digits[12];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    char text[12];
    for (size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    text[count] = '\0';
    return AppendAscii(out, capacity, length, text);
}

// "<base><separator>ZelClient<separator>". A base that already ends with the
// separator does not get a second one. False for an empty base or a folder
// that does not fit.
template <typename Char>
bool BuildDumpFolder(Char* out, size_t capacity, const Char* base, Char separator) noexcept {
    if (capacity == 0 || base == nullptr || *base == Char{}) return false;
    size_t length = 0;
    out[0] = Char{};
    if (!AppendText(out, capacity, &length, base)) return false;
    const Char tail[] = {separator, Char{}};
    if (out[length - 1] != separator && !AppendText(out, capacity, &length, tail)) return false;
    return AppendAscii(out, capacity, &length, "ZelClient") &&
           AppendText(out, capacity, &length, tail);
}

// "<folder><number>.dmp".
template <typename Char>
bool BuildDumpName(Char* out, size_t capacity, const Char* folder, unsigned number) noexcept {
    if (capacity == 0) return false;
    size_t length = 0;
    out[0] = Char{};
    return AppendText(out, capacity, &length, folder) &&
           AppendNumber(out, capacity, &length, number) &&
           AppendAscii(out, capacity, &length, ".dmp");
}

// The first number n >= `from` whose name `exists(name)` denies, with that
// name left in `out`; 0 when a name does not fit or none is free up to
// kMaxDumpNumber.
template <typename Char, typename Exists>
unsigned FirstFreeDumpName(Char* out, size_t capacity, const Char* folder, unsigned from,
                           Exists&& exists) noexcept {
    for (unsigned n = from; n != 0 && n <= kMaxDumpNumber; ++n) {
        if (!BuildDumpName(out, capacity, folder, n)) return 0;
        if (!exists(out)) return n;
    }
    return 0;
}

}  // namespace qav::diag
