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

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

struct Owner {
    uint32_t uid = 0;
    uint32_t gid = 0;
    bool foreign = false;  // another user than the process's
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

bool Append(char* base, size_t capacity, const char* text) noexcept {
    size_t length = std::strlen(base);
    return diag::AppendAscii(base, capacity, &length, text);
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) raw::Close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void Reset(int fd) noexcept {
        if (fd_ >= 0) raw::Close(fd_);
        fd_ = fd;
    }
    int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The calling thread's file-system identity, and only its own: the raw
// calls, not glibc's, which would change every thread of the process. What
// is created meanwhile belongs to that user and can only go where that user
// could put it, so nothing needs a chown afterwards.
class FileSystemIdentity {
public:
    FileSystemIdentity(uint32_t uid, uint32_t gid) noexcept
        : gid_(syscall(SYS_setfsgid, gid)), uid_(syscall(SYS_setfsuid, uid)) {
        // Each call answers the identity before it; an invalid id changes
        // nothing, so asking with one tells whether the switch took.
        held_ = syscall(SYS_setfsuid, -1) == static_cast<long>(uid) &&
                syscall(SYS_setfsgid, -1) == static_cast<long>(gid);
    }
    ~FileSystemIdentity() {
        syscall(SYS_setfsuid, uid_);
        syscall(SYS_setfsgid, gid_);
    }
    FileSystemIdentity(const FileSystemIdentity&) = delete;
    FileSystemIdentity& operator=(const FileSystemIdentity&) = delete;
    bool Held() const noexcept { return held_; }

private:
    long gid_;
    long uid_;
    bool held_ = false;
};

bool OwnedBy(int fd, uint32_t uid) noexcept {
    struct stat status;
    return syscall(SYS_fstat, fd, &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == uid;
}

// One step down from `parent`, made (0700) when missing: never through a
// link, and only into a folder of `uid`'s own.
int StepDown(int parent, const char* name, uint32_t uid) noexcept {
    constexpr int kFlags = kFolderFlags | O_NOFOLLOW;
    Descriptor fd(static_cast<int>(syscall(SYS_openat, parent, name, kFlags)));
    if (fd.get() < 0 && errno == ENOENT) {
        if (syscall(SYS_mkdirat, parent, name, 0700) != 0 && errno != EEXIST) return -1;
        fd.Reset(static_cast<int>(syscall(SYS_openat, parent, name, kFlags)));
    }
    if (fd.get() < 0 || !OwnedBy(fd.get(), uid)) return -1;
    return fd.Release();
}

// Another user's ZelClient folder: from the home folder the password file
// names (the process's environment says nothing about that user), each
// folder below it that user's own, opened relative to the one above.
int OpenForeignFolder(const char* home, uint32_t uid) noexcept {
    Descriptor folder(raw::Open(home, kFolderFlags));
    if (folder.get() < 0 || !OwnedBy(folder.get(), uid)) return -1;
    static constexpr const char* kSteps[] = {".local", "share", "ZelClient"};
    for (const char* name : kSteps) {
        const int next = StepDown(folder.get(), name, uid);
        if (next < 0) return -1;
        folder.Reset(next);
    }
    return folder.Release();
}

// The process's own folder: its environment is its own to follow.
// `folder` ends with '/'; every missing folder of it is made 0700.
int OpenOwnFolder(char* folder) noexcept {
    for (char* at = folder + 1; *at != '\0'; ++at) {
        if (*at != '/') continue;
        *at = '\0';
        const bool ok = syscall(SYS_mkdirat, AT_FDCWD, folder, 0700) == 0 || errno == EEXIST;
        *at = '/';
        if (!ok) return -1;
    }
    return raw::Open(folder, kFolderFlags);
}

// The data folder and its owner; for another user, `homeLength` is where
// its home folder ends in `base`. The console user is chosen only when the
// process may act for any user (root), as a service would on the desktop,
// or runs as that user.
bool ChooseFolder(char* const* environment, char* base, size_t capacity, Owner* owner,
                  size_t* homeLength) noexcept {
    const auto self = static_cast<uint32_t>(syscall(SYS_geteuid));
    char seat[1024];
    const size_t length = raw::ReadSmallFile("/run/systemd/seats/seat0", seat, sizeof seat);
    uint32_t active = 0;
    if (diag::ParseActiveUid(seat, length, &active) && active != self && self == 0) {
        owner->uid = active;
        owner->foreign = true;
        if (!HomeFromPasswd(active, base, capacity, &owner->gid)) return false;
        *homeLength = std::strlen(base);
        return Append(base, capacity, "/.local/share");
    }
    owner->uid = self;
    const char* data = GetEnvironment(environment, "XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') return Copy(base, capacity, data, std::strlen(data));
    const char* home = GetEnvironment(environment, "HOME");
    if (home != nullptr && home[0] == '/') {
        return Copy(base, capacity, home, std::strlen(home)) &&
               Append(base, capacity, "/.local/share");
    }
    return HomeFromPasswd(self, base, capacity, &owner->gid) &&
           Append(base, capacity, "/.local/share");
}

// The first free number's file, made new in `folder`; its name in `name`.
int CreateNumbered(int folder, char* name, size_t capacity) noexcept {
    const auto exists = [folder](const char* candidate) {
        struct stat status;
        return syscall(SYS_newfstatat, folder, candidate, &status, AT_SYMLINK_NOFOLLOW) == 0 ||
               errno != ENOENT;
    };
    for (unsigned from = 1;;) {
        const unsigned number = diag::FirstFreeDumpName(name, capacity, "", from, exists);
        if (number == 0) return -1;
        const int fd = static_cast<int>(syscall(
            SYS_openat, folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd >= 0 || errno != EEXIST) return fd;
        from = number + 1;  // taken since it was checked
    }
}

}  // namespace

int OpenDumpFile(char* const* environment, char* path, size_t capacity,
                 bool* forAnotherUser) noexcept {
    char base[kDumpPathCapacity];
    char folder[kDumpPathCapacity];
    Owner owner;
    size_t homeLength = 0;
    if (!ChooseFolder(environment, base, sizeof base, &owner, &homeLength) ||
        !diag::BuildDumpFolder(folder, sizeof folder, static_cast<const char*>(base), '/')) {
        return -1;
    }
    *forAnotherUser = owner.foreign;
    char name[32];
    int fd = -1;
    if (owner.foreign) {
        // Another user's folders are that user's to arrange, links included:
        // they are entered with that user's rights alone and nothing is
        // handed over by name afterwards, as a chown by path would follow
        // whatever that user put in its way.
        const FileSystemIdentity as(owner.uid, owner.gid);
        if (!as.Held()) return -1;
        base[homeLength] = '\0';
        const Descriptor dumps(OpenForeignFolder(base, owner.uid));
        if (dumps.get() >= 0) fd = CreateNumbered(dumps.get(), name, sizeof name);
    } else {
        const Descriptor dumps(OpenOwnFolder(folder));
        if (dumps.get() >= 0) fd = CreateNumbered(dumps.get(), name, sizeof name);
    }
    if (fd >= 0 && capacity > 0) {
        size_t length = 0;
        path[0] = '\0';
        static_cast<void>(diag::AppendAscii(path, capacity, &length, folder) &&
                          diag::AppendAscii(path, capacity, &length, name));
    }
    return fd;
}

}  // namespace qav::platform
