// Our own per-user registry store: a key is a folder, a value is a file
// holding a 4-byte little-endian type and the value's bytes.
// Root: ${XDG_CONFIG_HOME:-$HOME/.config}/qavseal/registry/HKEY_CURRENT_USER.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/registry.h"

namespace qav::platform {
namespace {

constexpr const char kTempPrefix[] = ".qav-tmp-";

uint32_t FromErrno(int error) noexcept {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return kRegNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kRegAccessDenied;
        case ENOMEM:
            return kRegNoMemory;
        default:
            return kRegIoFailed;
    }
}

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return "/tmp";
}

std::string StoreRoot() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base = (config != nullptr && config[0] == '/') ? config : HomeFolder() + "/.config";
    return base + "/qavseal/registry/HKEY_CURRENT_USER";
}

// One path component: what a Windows key or value name may be, minus what a
// file name cannot be.
bool ValidName(const std::string& name) {
    if (name.empty() || name.size() > kRegMaxName || name == "." || name == "..") return false;
    if (name.compare(0, sizeof(kTempPrefix) - 1, kTempPrefix) == 0) return false;
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

uint32_t MakeFolder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) == 0) return kRegSuccess;
    if (errno != EEXIST) return FromErrno(errno);
    struct stat info {};
    if (stat(folder.c_str(), &info) != 0) return FromErrno(errno);
    return S_ISDIR(info.st_mode) ? kRegSuccess : kRegAccessDenied;
}

bool IsFolder(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

class Folder {
public:
    explicit Folder(const std::string& path) : dir_(opendir(path.c_str())) {}
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

}  // namespace

struct RegistryKey::Impl {
    std::string folder;
    // The subkey names, read once per open key: enumeration by index sees
    // one consistent, sorted snapshot.
    mutable bool listed = false;
    mutable std::vector<std::string> subkeys;

    uint32_t List() const {
        if (listed) return kRegSuccess;
        Folder dir(folder);
        if (dir.get() == nullptr) return FromErrno(errno);
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir.get())) {
            const std::string name = entry->d_name;
            if (ValidName(name) && IsFolder(folder + "/" + name)) names.push_back(name);
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
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return kRegInvalidParameter;
    std::string folder = StoreRoot();
    for (const std::string& part : parts) folder += "/" + part;
    if (!IsFolder(folder)) return kRegNotFound;
    key->impl_ = std::make_unique<Impl>();
    key->impl_->folder = std::move(folder);
    return kRegSuccess;
}

uint32_t RegistryKey::Create(const std::string& path, RegistryKey* key) {
    std::vector<std::string> parts;
    if (!SplitPath(path, &parts)) return kRegInvalidParameter;
    std::string folder = StoreRoot();
    // The store's own parents are made private too: they only hold the store.
    std::string prefix;
    for (size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        prefix = folder.substr(0, slash);
        if (!IsFolder(prefix)) {
            if (const uint32_t rc = MakeFolder(prefix)) return rc;
        }
    }
    if (const uint32_t rc = MakeFolder(folder)) return rc;
    for (const std::string& part : parts) {
        folder += "/" + part;
        if (const uint32_t rc = MakeFolder(folder)) return rc;
    }
    key->impl_ = std::make_unique<Impl>();
    key->impl_->folder = std::move(folder);
    return kRegSuccess;
}

uint32_t RegistryKey::OpenSubkey(const std::string& name, RegistryKey* key) const {
    if (!impl_) return kRegInvalidParameter;
    if (!ValidName(name)) return kRegNotFound;
    std::string folder = impl_->folder + "/" + name;
    if (!IsFolder(folder)) return kRegNotFound;
    key->impl_ = std::make_unique<Impl>();
    key->impl_->folder = std::move(folder);
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
    const std::string file = impl_->folder + "/" + name;
    FileDescriptor fd(open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) return FromErrno(errno);
    struct stat info {};
    if (fstat(fd.get(), &info) != 0) return FromErrno(errno);
    if (!S_ISREG(info.st_mode) || info.st_size < 4) return kRegNotFound;
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
    std::string temp = impl_->folder + "/" + kTempPrefix + "XXXXXX";
    FileDescriptor fd(mkstemp(temp.data()));
    if (fd.get() < 0) return FromErrno(errno);
    const uint8_t header[4] = {static_cast<uint8_t>(type), static_cast<uint8_t>(type >> 8),
                               static_cast<uint8_t>(type >> 16), static_cast<uint8_t>(type >> 24)};
    // A reader sees the old value or the new one, never half of either.
    const bool written = fchmod(fd.get(), 0600) == 0 && WriteAll(fd.get(), header, sizeof header) &&
                         WriteAll(fd.get(), data, length) && fsync(fd.get()) == 0;
    const int error = errno;
    if (!written || rename(temp.c_str(), (impl_->folder + "/" + name).c_str()) != 0) {
        const uint32_t rc = FromErrno(written ? errno : error);
        unlink(temp.c_str());
        return rc;
    }
    return kRegSuccess;
}

}  // namespace qav::platform
