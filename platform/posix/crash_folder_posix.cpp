#include <errno.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>

#include "diag/dump_paths.h"
#include "diag/proc_text.h"
#include "platform/posix/crash_folder.h"
#include "platform/posix/raw_io.h"

namespace qav::platform {

namespace {

struct Owner {
    uint32_t uid = 0;
    uint32_t gid = 0;
    bool foreign = false;  // another user's folder: what is created is handed to them
};

const char* GetEnvironment(char* const* environment, const char* name) noexcept {
    const size_t length = std::strlen(name);
    for (char* const* entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, name, length) == 0 && (*entry)[length] == '=') {
            return *entry + length + 1;
        }
    }
    return nullptr;
}

bool Copy(char* out, size_t capacity, const char* text, size_t length) noexcept {
    if (length + 1 > capacity) return false;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

bool HomeFromPasswd(uint32_t uid, char* home, size_t capacity, uint32_t* gid) noexcept {
    const int fd = raw::Open("/etc/passwd", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    raw::LineReader<1024> reader(fd);
    const char* line = nullptr;
    size_t length = 0;
    bool found = false;
    diag::PasswdEntry entry;
    while (!found && reader.Next(&line, &length)) {
        found = diag::ParsePasswdLine(line, length, uid, &entry) &&
                Copy(home, capacity, entry.home, entry.homeLength);
    }
    raw::Close(fd);
    *gid = entry.gid;
    return found;
}

bool AppendShare(char* base, size_t capacity) noexcept {
    size_t length = std::strlen(base);
    return diag::AppendAscii(base, capacity, &length, "/.local/share");
}

// The data folder of `uid`: from the environment when it is this process's
// own user, else below the home folder the password file names.
bool DataFolder(char* const* environment, bool own, uint32_t uid, char* base, size_t capacity,
                uint32_t* gid) noexcept {
    if (own) {
        const char* data = GetEnvironment(environment, "XDG_DATA_HOME");
        if (data != nullptr && data[0] == '/') return Copy(base, capacity, data, std::strlen(data));
        const char* home = GetEnvironment(environment, "HOME");
        if (home != nullptr && home[0] == '/') {
            return Copy(base, capacity, home, std::strlen(home)) && AppendShare(base, capacity);
        }
    }
    return HomeFromPasswd(uid, base, capacity, gid) && AppendShare(base, capacity);
}

// The console user is chosen only when the process runs as that user or
// may act for any user (root), as a service would on the desktop.
bool ChooseFolder(char* const* environment, char* base, size_t capacity, Owner* owner) noexcept {
    const auto self = static_cast<uint32_t>(syscall(SYS_geteuid));
    char seat[1024];
    const size_t length = raw::ReadSmallFile("/run/systemd/seats/seat0", seat, sizeof seat);
    uint32_t active = 0;
    if (diag::ParseActiveUid(seat, length, &active) && active != self && self == 0 &&
        DataFolder(environment, false, active, base, capacity, &owner->gid)) {
        owner->uid = active;
        owner->foreign = true;
        return true;
    }
    owner->uid = self;
    return DataFolder(environment, true, self, base, capacity, &owner->gid);
}

// Creates each missing folder of `folder` (which ends with '/'), 0700.
bool MakeFolders(char* folder, const Owner& owner) noexcept {
    for (char* at = folder + 1; *at != '\0'; ++at) {
        if (*at != '/') continue;
        *at = '\0';
        const long made = syscall(SYS_mkdirat, AT_FDCWD, folder, 0700);
        const bool ok = made == 0 || errno == EEXIST;
        if (made == 0 && owner.foreign) {
            syscall(SYS_fchownat, AT_FDCWD, folder, owner.uid, owner.gid, AT_SYMLINK_NOFOLLOW);
        }
        *at = '/';
        if (!ok) return false;
    }
    return true;
}

bool Exists(const char* path) noexcept {
    struct stat status;
    return syscall(SYS_newfstatat, AT_FDCWD, path, &status, AT_SYMLINK_NOFOLLOW) == 0 ||
           errno != ENOENT;
}

}  // namespace

int OpenDumpFile(char* const* environment, char* path, size_t capacity) noexcept {
    char base[kDumpPathCapacity];
    char folder[kDumpPathCapacity];
    Owner owner;
    if (!ChooseFolder(environment, base, sizeof base, &owner) ||
        !diag::BuildDumpFolder(folder, sizeof folder, static_cast<const char*>(base), '/') ||
        !MakeFolders(folder, owner)) {
        return -1;
    }
    for (unsigned from = 1;;) {
        const unsigned number =
            diag::FirstFreeDumpName(path, capacity, static_cast<const char*>(folder), from, Exists);
        if (number == 0) return -1;
        const int fd = raw::Open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            if (owner.foreign) syscall(SYS_fchown, fd, owner.uid, owner.gid);
            return fd;
        }
        if (errno != EEXIST) return -1;
        from = number + 1;  // taken since it was checked
    }
}

}  // namespace qav::platform
