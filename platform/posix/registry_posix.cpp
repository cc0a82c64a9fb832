// Our own per-user registry store: a key is a folder, a value is a file
// holding a 4-byte little-endian type and the value's bytes.
// Root: ${XDG_CONFIG_HOME:-$HOME/.config}/qavseal/registry/HKEY_CURRENT_USER.
//
// Below the configuration folder everything is opened relative to its parent
// without following links, and must belong to the user: another user's
// folder is refused, one open to others is made private again. Only regular
// files are read, and no open can block on a FIFO or device.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/random.h"
#include "platform/registry.h"

namespace qav::platform {
namespace {

// Names the store keeps for itself: never a key or value name.
constexpr char kReservedPrefix[] = ".qav-";
constexpr char kTempPrefix[] = ".qav-tmp-";
// A 64-bit count of changes, in a file of its own.
constexpr char kChangeMark[] = ".qav-changes";
constexpr size_t kMarkSize = sizeof(uint64_t);
constexpr const char* kStoreFolders[] = {"qavseal", "registry", "HKEY_CURRENT_USER"};

uint32_t FromErrno(int error) noexcept {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return kRegNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP:  // a link where a folder or value should be
            return kRegAccessDenied;
        case ENOMEM:
            return kRegNoMemory;
        default:
            return kRegIoFailed;
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// The configuration folder; empty when the user has no home. There is no
// fallback: a shared folder such as /tmp lets another user create it first.
// A setuid or otherwise secure-execution process has its caller's
// environment, which must not choose where it makes folders: it has only the
// password file's home (secure_getenv answers nothing there).
std::string ConfigFolder() {
    const char* config = secure_getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') return config;
    const char* home = secure_getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.config";
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
        return std::string(found->pw_dir) + "/.config";
    }
    return {};
}

uint32_t OpenConfigFolder(bool create, FileDescriptor* folder) {
    const std::string path = ConfigFolder();
    if (path.empty()) return kRegAccessDenied;
    if (create) {
        // Missing parents are made private: they only hold the store.
        for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
            const std::string prefix = path.substr(0, end);
            struct stat info {};
            if (stat(prefix.c_str(), &info) != 0 && mkdir(prefix.c_str(), 0700) != 0 &&
                errno != EEXIST) {
                return FromErrno(errno);
            }
            if (end == std::string::npos) break;
        }
    }
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) return FromErrno(errno);
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) return FromErrno(errno);
    // Whoever else may write here can replace the store's folders.
    if ((info.st_uid != geteuid() && info.st_uid != 0) || (info.st_mode & S_IWOTH) != 0) {
        return kRegAccessDenied;
    }
    *folder = std::move(fd);
    return kRegSuccess;
}

// The store's own folders: the user's, and private.
uint32_t OpenFolder(int parent, const char* name, bool create, FileDescriptor* folder, bool* made) {
    constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    FileDescriptor fd(openat(parent, name, kFlags));
    if (fd.get() < 0 && errno == ENOENT && create) {
        if (mkdirat(parent, name, 0700) == 0) {
            *made = true;
            if (fsync(parent) != 0) return FromErrno(errno);
        } else if (errno != EEXIST) {
            return FromErrno(errno);
        }
        fd = FileDescriptor(openat(parent, name, kFlags));
    }
    if (fd.get() < 0) return FromErrno(errno);
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) return FromErrno(errno);
    if (info.st_uid != geteuid()) return kRegAccessDenied;
    if ((info.st_mode & 07777) != 0700 && fchmod(fd.get(), 0700) != 0) return FromErrno(errno);
    *folder = std::move(fd);
    return kRegSuccess;
}

// One path component: what a Windows key or value name may be, minus what a
// file name cannot be.
bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kRegMaxName || name == "." || name == "..") return false;
    if (name.compare(0, sizeof(kReservedPrefix) - 1, kReservedPrefix) == 0) return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool SplitPath(const std::string& path, std::vector<std::string>* parts) {
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find('\\', start), path.size());
        std::string part = path.substr(start, end - start);
        if (!ValidName(part)) return false;
        parts->push_back(std::move(part));
        start = end + 1;
    }
    return !parts->empty();
}

class Folder {
public:
    explicit Folder(int fd) : dir_(fd >= 0 ? fdopendir(fd) : nullptr) {
        if (dir_ == nullptr && fd >= 0) close(fd);
    }
    ~Folder() {
        if (dir_ != nullptr) closedir(dir_);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    DIR* get() const noexcept { return dir_; }

private:
    DIR* dir_;
};

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t got = read(fd, data, length);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

// O_NONBLOCK: a FIFO or device put in a value's place must not hang the
// caller before fstat can refuse it.
uint32_t OpenOwnFile(int folder, const char* name, int flags, FileDescriptor* file,
                     struct stat* info) {
    FileDescriptor fd(
        openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    if (fd.get() < 0) return FromErrno(errno);
    if (fstat(fd.get(), info) != 0) return FromErrno(errno);
    if (!S_ISREG(info->st_mode)) return kRegNotFound;
    if (info->st_uid != geteuid()) return kRegAccessDenied;
    *file = std::move(fd);
    return kRegSuccess;
}

// Raises the store's change count, which the lookups' caches key on: their
// only sign that another process wrote. Written with pwrite under a lock,
// never through a mapping, and into space reserved first: a full disk or a
// file cut short is an error code, never SIGBUS. A count starts at a random
// value, so a store made again (whatever inode its file gets) does not
// repeat a count an older one had.
uint32_t MarkChange(int root) {
    FileDescriptor mark;
    struct stat info {};
    if (const uint32_t rc = OpenOwnFile(root, kChangeMark, O_RDWR | O_CREAT, &mark, &info)) {
        return rc;
    }
    while (flock(mark.get(), LOCK_EX) != 0) {  // released with the descriptor
        if (errno != EINTR) return FromErrno(errno);
    }
    if (const int error = posix_fallocate(mark.get(), 0, kMarkSize)) return FromErrno(error);
    uint64_t count = 0;
    if (pread(mark.get(), &count, sizeof count, 0) != static_cast<ssize_t>(sizeof count) ||
        count == 0) {
        if (!FillRandom(reinterpret_cast<uint8_t*>(&count), sizeof count)) return kRegIoFailed;
    } else {
        ++count;
    }
    if (count == 0) count = 1;  // 0 stands for no count
    const ssize_t written = pwrite(mark.get(), &count, sizeof count, 0);
    if (written < 0) return FromErrno(errno);
    if (written != static_cast<ssize_t>(sizeof count)) return kRegIoFailed;
    return kRegSuccess;
}

// Opens the store's root and the key's folder below it.
uint32_t OpenPath(const std::string& path, bool create, FileDescriptor* root, FileDescriptor* key) {
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return kRegInvalidParameter;
    FileDescriptor folder;
    if (const uint32_t rc = OpenConfigFolder(create, &folder)) return rc;
    bool made = false;
    for (const char* name : kStoreFolders) {
        FileDescriptor next;
        if (const uint32_t rc = OpenFolder(folder.get(), name, create, &next, &made)) return rc;
        folder = std::move(next);
    }
    *root = std::move(folder);
    int parent = root->get();
    for (const std::string& part : parts) {
        if (const uint32_t rc = OpenFolder(parent, part.c_str(), create, key, &made)) return rc;
        parent = key->get();
    }
    return made ? MarkChange(root->get()) : kRegSuccess;
}

}  // namespace

struct RegistryKey::Impl {
    Impl(std::shared_ptr<const FileDescriptor> storeRoot, FileDescriptor keyFolder)
        : root(std::move(storeRoot)), folder(std::move(keyFolder)) {}

    const std::shared_ptr<const FileDescriptor> root;
    const FileDescriptor folder;
    // The subkey names, read once per open key: enumeration by index sees
    // one consistent, sorted snapshot.
    mutable bool listed = false;
    mutable std::vector<std::string> subkeys;

    uint32_t List() const {
        if (listed) return kRegSuccess;
        Folder dir(openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (dir.get() == nullptr) return FromErrno(errno);
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            struct stat info {};
            const bool isFolder =
                entry->d_type == DT_DIR ||
                (entry->d_type == DT_UNKNOWN &&
                 fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
                 S_ISDIR(info.st_mode));
            if (isFolder && ValidName(name)) names.push_back(name);
        }
        if (errno != 0) return FromErrno(errno);
        std::sort(names.begin(), names.end());
        subkeys = std::move(names);
        listed = true;
        return kRegSuccess;
    }
};

RegistryKey::RegistryKey() = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

bool RegistryKey::IsOpen() const noexcept { return impl_ != nullptr; }

uint32_t RegistryKey::Open(const std::string& path, RegistryKey* key) {
    FileDescriptor root;
    FileDescriptor folder;
    if (const uint32_t rc = OpenPath(path, false, &root, &folder)) return rc;
    key->impl_ = std::make_unique<Impl>(std::make_shared<const FileDescriptor>(std::move(root)),
                                        std::move(folder));
    return kRegSuccess;
}

uint32_t RegistryKey::Create(const std::string& path, RegistryKey* key) {
    FileDescriptor root;
    FileDescriptor folder;
    if (const uint32_t rc = OpenPath(path, true, &root, &folder)) return rc;
    key->impl_ = std::make_unique<Impl>(std::make_shared<const FileDescriptor>(std::move(root)),
                                        std::move(folder));
    return kRegSuccess;
}

uint32_t RegistryKey::OpenSubkey(const std::string& name, RegistryKey* key) const {
    if (!impl_) return kRegInvalidParameter;
    if (!ValidName(name)) return kRegNotFound;
    FileDescriptor folder;
    bool made = false;
    if (const uint32_t rc = OpenFolder(impl_->folder.get(), name.c_str(), false, &folder, &made)) {
        return rc;
    }
    key->impl_ = std::make_unique<Impl>(impl_->root, std::move(folder));
    return kRegSuccess;
}

uint32_t RegistryKey::SubkeyCount(uint32_t* count) const {
    if (!impl_) return kRegInvalidParameter;
    impl_->listed = false;
    if (const uint32_t rc = impl_->List()) return rc;
    *count = static_cast<uint32_t>(impl_->subkeys.size());
    return kRegSuccess;
}

uint32_t RegistryKey::EnumSubkey(uint32_t index, std::string* name) const {
    if (!impl_) return kRegInvalidParameter;
    if (const uint32_t rc = impl_->List()) return rc;
    if (index >= impl_->subkeys.size()) return kRegNoMoreItems;
    *name = impl_->subkeys[index];
    return kRegSuccess;
}

uint32_t RegistryKey::QueryValue(const std::string& name, uint32_t* type,
                                 std::vector<uint8_t>* data, size_t maxLength) const {
    if (!impl_) return kRegInvalidParameter;
    if (!ValidName(name)) return kRegNotFound;
    FileDescriptor fd;
    struct stat info {};
    if (const uint32_t rc = OpenOwnFile(impl_->folder.get(), name.c_str(), O_RDONLY, &fd, &info)) {
        return rc;
    }
    if (info.st_size < 4) return kRegNotFound;
    const size_t length = static_cast<size_t>(info.st_size) - 4;
    if (length > maxLength) return kRegMoreData;
    uint8_t header[4];
    std::vector<uint8_t> bytes(length);
    if (!ReadAll(fd.get(), header, sizeof header) || !ReadAll(fd.get(), bytes.data(), length)) {
        return kRegIoFailed;
    }
    *type = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
            static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    *data = std::move(bytes);
    return kRegSuccess;
}

uint32_t RegistryKey::SetValue(const std::string& name, uint32_t type, const uint8_t* data,
                               uint32_t length) {
    if (!impl_) return kRegInvalidParameter;
    if (!ValidName(name) || (data == nullptr && length != 0)) return kRegInvalidParameter;
    const int folder = impl_->folder.get();
    // Unique per process and call; a leftover of a dead process with the
    // same id is stepped over.
    static std::atomic<uint32_t> serial{0};
    std::string temp;
    FileDescriptor fd;
    for (int attempt = 0; fd.get() < 0 && attempt < 16; ++attempt) {
        temp = kTempPrefix + std::to_string(getpid()) + "-" + std::to_string(serial++);
        fd = FileDescriptor(openat(folder, temp.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd.get() < 0 && errno != EEXIST) return FromErrno(errno);
    }
    if (fd.get() < 0) return kRegIoFailed;
    const uint8_t header[4] = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
                               static_cast<uint8_t>(type >> 16), static_cast<uint8_t>(type >> 24)};
    // A reader sees the old value or the new one, never half of either, and
    // after a crash the folder holds one of the two.
    const bool written = fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), header, sizeof header) &&
                         WriteAll(fd.get(), data, length) && fsync(fd.get()) == 0;
    const int error = errno;
    if (!written || renameat(folder, temp.c_str(), folder, name.c_str()) != 0) {
        const uint32_t rc = FromErrno(written ? errno : error);
        unlinkat(folder, temp.c_str(), 0);
        return rc;
    }
    const bool durable = fsync(folder) == 0;
    const int syncError = errno;
    // The value stands either way; without the mark other processes keep
    // their old view, which the caller hears of.
    const uint32_t marked = MarkChange(impl_->root->get());
    return !durable ? FromErrno(syncError) : marked;
}

namespace {

bool SameText(const char* text, const std::optional<std::string>& kept) {
    return text == nullptr ? !kept.has_value() : kept.has_value() && *kept == text;
}

// This process's view of the change count: the counter file held open and
// read with pread, so a lookup costs one read and a stat, and a file cut
// short is no count (0) rather than a fault. A file unlinked or renamed
// over since (a store made again) is let go at once, and the path is
// opened again now and then in case a folder above it was replaced.
class GenerationView {
public:
    uint64_t Read(const char* config, const char* home) {
        const std::lock_guard<std::mutex> hold(lock_);
        if (!SameText(config, config_) || !SameText(home, home_)) {
            file_ = FileDescriptor();
            config_ = config == nullptr ? std::nullopt : std::optional<std::string>(config);
            home_ = home == nullptr ? std::nullopt : std::optional<std::string>(home);
            const std::string folder = ConfigFolder();
            path_ = folder.empty() ? std::string()
                                   : folder + "/qavseal/registry/HKEY_CURRENT_USER/" + kChangeMark;
        }
        struct stat info {};
        if (file_.get() >= 0 && (++reads_ % kReopenEvery == 0 || fstat(file_.get(), &info) != 0 ||
                                 info.st_nlink == 0)) {
            file_ = FileDescriptor();
        }
        if (file_.get() < 0 && !Open()) return 0;
        uint64_t count = 0;
        if (pread(file_.get(), &count, sizeof count, 0) != static_cast<ssize_t>(sizeof count)) {
            file_ = FileDescriptor();
            return 0;
        }
        return count;
    }

private:
    static constexpr uint32_t kReopenEvery = 64;

    bool Open() {
        if (path_.empty()) return false;
        FileDescriptor fd(open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat info {};
        if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
            info.st_uid != geteuid()) {
            return false;
        }
        file_ = std::move(fd);
        return true;
    }

    std::mutex lock_;
    std::optional<std::string> config_;
    std::optional<std::string> home_;
    std::string path_;
    FileDescriptor file_;
    uint32_t reads_ = 0;
};

}  // namespace

uint64_t RegistryGeneration() {
    static GenerationView view;
    return view.Read(secure_getenv("XDG_CONFIG_HOME"), secure_getenv("HOME"));
}

}  // namespace qav::platform
