// The crash handler's plain pieces: names in fixed buffers, the texts it
// parses, build-id notes and the dump's string records. The thread lines of
// /proc and the line reader are pinned by the writer's in-process test.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "diag/dump_paths.h"
#include "diag/elf_note.h"
#include "diag/minidump_format.h"
#include "diag/proc_text.h"

namespace qav::diag {
namespace {

TEST(DumpPaths, NamesFitTheirBufferExactlyOrAreRefused) {
    const struct {
        const char* base;
        size_t capacity;
        const char* folder;  // nullptr: refused
    } folders[] = {
        {"/home/a/.local/share", 64, "/home/a/.local/share/ZelClient/"},
        {"/data/", 64, "/data/ZelClient/"},
        {"/d", 14, "/d/ZelClient/"},  // 13 characters and the NUL
        {"/d", 13, nullptr},
        {"", 64, nullptr},
    };
    for (const auto& c : folders) {
        char out[64];
        const bool built = BuildDumpFolder(out, c.capacity, c.base, '/');
        EXPECT_EQ(built, c.folder != nullptr) << c.base << " " << c.capacity;
        if (built && c.folder != nullptr) {
            EXPECT_STREQ(out, c.folder);
        }
    }
    wchar_t wide[260];
    ASSERT_TRUE(BuildDumpFolder(wide, 260, L"C:\\Users\\a\\AppData\\Roaming", L'\\'));
    EXPECT_EQ(std::wstring(wide), L"C:\\Users\\a\\AppData\\Roaming\\ZelClient\\");

    char name[10];
    ASSERT_TRUE(BuildDumpName(name, 10, "/f/", 12));
    EXPECT_STREQ(name, "/f/12.dmp");
    EXPECT_FALSE(BuildDumpName(name, 9, "/f/", 12));
}

TEST(ProcText, SeatAndPasswordLines) {
    const struct {
        const char* text;
        bool found;
        uint32_t uid;
    } seats[] = {
        {"ACTIVE=c2\nACTIVE_UID=1000\nACTIVE_SESSIONS=c2\n", true, 1000},
        {"ACTIVE_UID=0", true, 0},
        {"ACTIVE_UID=\n", false, 0},
        {"ACTIVE_UID=12x\n", false, 0},
        {"ACTIVE_UID=99999999999\n", false, 0},
        {"X_ACTIVE_UID=5\nCAN_GRAPHICAL=yes\n", false, 0},
    };
    for (const auto& c : seats) {
        uint32_t uid = 77;
        EXPECT_EQ(ParseActiveUid(c.text, std::strlen(c.text), &uid), c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(uid, c.uid) << c.text;
        }
    }

    const std::string alice = "alice:x:1000:1001:Alice A:/home/alice:/bin/bash";
    PasswdEntry entry;
    ASSERT_TRUE(ParsePasswdLine(alice.data(), alice.size(), 1000, &entry));
    EXPECT_EQ(std::string(entry.home, entry.homeLength), "/home/alice");
    EXPECT_EQ(entry.gid, 1001u);
    EXPECT_FALSE(ParsePasswdLine(alice.data(), alice.size(), 100, &entry));
    for (const std::string bad :
         {"bob:x:1000:1000:::/bin/sh", "bob:x:1000", "bob:x:10a0:1:b:/h:"}) {
        EXPECT_FALSE(ParsePasswdLine(bad.data(), bad.size(), 1000, &entry)) << bad;
    }
}

TEST(ProcText, MapsLines) {
    const std::string lib =
        "7f00a000-7f00c000 r-xp 00002000 fd:1a 123456    /usr/lib/a b (deleted)";
    MapsLine line;
    ASSERT_TRUE(ParseMapsLine(lib.data(), lib.size(), &line));
    EXPECT_EQ(line.start, 0x7f00a000u);
    EXPECT_EQ(line.end, 0x7f00c000u);
    EXPECT_EQ(line.offset, 0x2000u);
    EXPECT_EQ(line.deviceMajor, 0xfdu);
    EXPECT_EQ(line.deviceMinor, 0x1au);
    EXPECT_EQ(line.inode, 123456u);
    EXPECT_TRUE(line.readable && line.executable);
    EXPECT_EQ(std::string(line.path, line.pathLength), "/usr/lib/a b (deleted)");
    const std::string anonymous = "7ffc0000-7ffd0000 ---p 00000000 00:00 0 ";
    ASSERT_TRUE(ParseMapsLine(anonymous.data(), anonymous.size(), &line));
    EXPECT_FALSE(line.readable);
    EXPECT_EQ(line.pathLength, 0u);
    for (const std::string bad : {"zz-10 r--p 0 0:0 0", "20-10 r--p 0 0:0 0", "10-20 r--p 0"}) {
        EXPECT_FALSE(ParseMapsLine(bad.data(), bad.size(), &line)) << bad;
    }
}

std::vector<uint8_t> Note(uint32_t type, const char* name, std::vector<uint8_t> desc) {
    const uint32_t nameSize = static_cast<uint32_t>(std::strlen(name) + 1);
    std::vector<uint8_t> note(12 + ((nameSize + 3) & ~3u) + ((desc.size() + 3) & ~size_t{3}));
    const uint32_t head[] = {nameSize, static_cast<uint32_t>(desc.size()), type};
    std::memcpy(note.data(), head, 12);
    std::memcpy(note.data() + 12, name, nameSize);
    std::copy(desc.begin(), desc.end(),
              note.begin() + 12 + static_cast<std::ptrdiff_t>((nameSize + 3) & ~3u));
    return note;
}

TEST(ElfNote, FindsTheGnuBuildIdAmongOtherNotes) {
    std::vector<uint8_t> notes = Note(1, "GNU", {0, 0, 0, 0, 3, 0, 0, 0});
    const std::vector<uint8_t> other = Note(3, "Go", {9, 9, 9, 9});
    const std::vector<uint8_t> id = Note(3, "GNU", {0xde, 0xad, 0xbe, 0xef, 0x01});
    notes.insert(notes.end(), other.begin(), other.end());
    notes.insert(notes.end(), id.begin(), id.end());
    const uint8_t* found = nullptr;
    size_t length = 0;
    ASSERT_TRUE(FindGnuBuildId(notes.data(), notes.size(), &found, &length));
    EXPECT_EQ(std::vector<uint8_t>(found, found + length),
              (std::vector<uint8_t>{0xde, 0xad, 0xbe, 0xef, 0x01}));
    // Cut inside the id's descriptor: nothing is read past the end.
    EXPECT_FALSE(FindGnuBuildId(notes.data(), notes.size() - 5, &found, &length));
}

TEST(MinidumpString, Utf8BecomesUtf16WithReplacementsForMalformedBytes) {
    const struct {
        const char* text;
        std::vector<uint16_t> units;
    } cases[] = {
        {"a/\xc3\xa9", {'a', '/', 0xe9}}, {"\xf0\x9f\x98\x80", {0xd83d, 0xde00}},
        {"x\xff", {'x', 0xfffd}},         {"\xc0\xaf", {0xfffd, 0xfffd}},  // an overlong '/'
        {"\xe2\x82", {0xfffd, 0xfffd}},                                    // cut short
    };
    for (const auto& c : cases) {
        const size_t length = std::strlen(c.text);
        uint8_t out[64];
        const size_t size = EncodeString(out, sizeof out, c.text, length);
        ASSERT_EQ(size, 4 + 2 * c.units.size() + 2) << c.text;
        uint32_t bytes = 0;
        std::memcpy(&bytes, out, 4);
        EXPECT_EQ(bytes, 2 * c.units.size());
        std::vector<uint16_t> units(c.units.size() + 1);
        std::memcpy(units.data(), out + 4, 2 * units.size());
        EXPECT_EQ(units.back(), 0);
        units.pop_back();
        EXPECT_EQ(units, c.units) << c.text;
        EXPECT_EQ(EncodeString(out, StringRecordSize(length) - 1, c.text, length), 0u);
    }
}

}  // namespace
}  // namespace qav::diag
