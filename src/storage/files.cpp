#include "storage/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "core/random.hpp"

namespace karnoxel::storage {
namespace {

constexpr const char* CREATE_FAILED = "Failed to create snapshot file: ";
constexpr const char* WRITE_FAILED = "Failed to write serialized bytes to disk: ";
constexpr const char* OPEN_FAILED = "Failed to open snapshot file: ";
constexpr const char* READ_FAILED = "Failed to read snapshot file bytes: ";
constexpr const char* NUL_IN_PATH = "file name contained an unexpected NUL byte";
constexpr const char* TEMP_SUFFIX = ".tmp";

std::string os_error(int code) {
    char buffer[256];
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

FileOutcome failure_with(std::string message) {
    return {FileStatus::Failed, std::move(message)};
}

FileOutcome interrupted() {
    return {FileStatus::Interrupted, {}};
}

// An error number, or INTERRUPTED when a signal's handler asked to give up.
constexpr int INTERRUPTED = -2;
constexpr int WROTE_NOTHING = -1;  // a write that accepted no bytes

// open() that notices signals; the descriptor, or -1 with the error in `error`.
int open_interruptible(const char* path, int flags, mode_t mode, const Interrupt& interrupt, int& error) {
    for (;;) {
        const int fd = ::open(path, flags | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        if (errno != EINTR) {
            error = errno;
            return -1;
        }
        if (interrupt()) {
            error = INTERRUPTED;
            return -1;
        }
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now and reports the error a close can carry (delayed write errors).
    int close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc < 0 ? errno : 0;
    }

private:
    int fd_;
};

// Returns 0, an error number, WROTE_NOTHING or INTERRUPTED.
int write_all(int fd, std::span<const std::uint8_t> image, const Interrupt& interrupt) {
    std::size_t done = 0;
    while (done < image.size()) {
        const std::size_t chunk = std::min<std::size_t>(image.size() - done, 1u << 30);
        const ssize_t n = ::write(fd, image.data() + done, chunk);
        if (n < 0) {
            if (errno != EINTR) return errno;
            if (interrupt()) return INTERRUPTED;
            continue;
        }
        if (n == 0) return WROTE_NOTHING;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

FileOutcome write_error(int code) {
    if (code == INTERRUPTED) return interrupted();
    return failure_with(std::string(WRITE_FAILED) +
                        (code == WROTE_NOTHING ? "failed to write whole buffer" : os_error(code)));
}

int sync_retrying(int fd) {
    while (::fsync(fd) < 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// Truncates and rewrites the file itself (`fd` already open, or opened here).
FileOutcome write_in_place(const std::string& path, std::span<const std::uint8_t> image, bool regular,
                           const Interrupt& interrupt, int open_fd = -1) {
    int error = 0;
    FileDescriptor fd(open_fd >= 0
                          ? open_fd
                          : open_interruptible(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666, interrupt, error));
    if (fd.get() < 0)
        return error == INTERRUPTED ? interrupted() : failure_with(std::string(CREATE_FAILED) + os_error(error));
    if (open_fd >= 0 && ::ftruncate(fd.get(), 0) < 0) return write_error(errno);
    if (const int rc = write_all(fd.get(), image, interrupt)) return write_error(rc);
    if (regular) {
        if (const int rc = sync_retrying(fd.get())) return write_error(rc);
    }
    if (const int rc = fd.close()) return write_error(rc);
    return {};
}

std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a path names once every symbolic link on its last component is
// followed, even to a target that does not exist yet (open(path, "w") would
// create it). Nothing when the links go round in circles.
std::optional<std::string> follow_links(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 0)) + 1, '\0');
        for (;;) {
            const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
            if (n < 0) return current;  // let the open report it
            if (static_cast<std::size_t>(n) < target.size()) {
                target.resize(static_cast<std::size_t>(n));
                break;
            }
            target.resize(target.size() * 2);
        }
        current = !target.empty() && target[0] == '/' ? target : folder_of(current) + "/" + target;
    }
    return std::nullopt;
}

// Temporary names: ".<target name>.<pid>.<random>.tmp", the target name cut
// so that the whole always fits the folder's name limit.
std::string temporary_name(const std::string& folder, const std::string& base) {
    long name_max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    if (name_max <= 0) name_max = 255;
    std::string tail = ".";
    tail += std::to_string(::getpid());
    tail += '.';
    tail += std::to_string(core::entropy64() & 0xFFFFFFFF);
    tail += TEMP_SUFFIX;
    const std::size_t room = static_cast<std::size_t>(name_max) - 1 - tail.size();
    std::string name = folder;
    name += "/.";
    name.append(base, 0, room);
    name += tail;
    return name;
}

// The process id in a name of the temporary pattern, if it is one.
std::optional<pid_t> temporary_owner(std::string_view name) {
    const std::size_t suffix = std::strlen(TEMP_SUFFIX);
    if (name.size() < 1 + 1 + 2 + 2 + suffix || name[0] != '.' || !name.ends_with(TEMP_SUFFIX)) return std::nullopt;
    name.remove_suffix(suffix);
    auto digits_field = [&](std::string_view& rest) -> std::optional<std::string_view> {
        const std::size_t dot = rest.rfind('.');
        if (dot == std::string_view::npos || dot + 1 == rest.size()) return std::nullopt;
        const std::string_view field = rest.substr(dot + 1);
        if (!std::all_of(field.begin(), field.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
        rest = rest.substr(0, dot);
        return field;
    };
    if (!digits_field(name)) return std::nullopt;  // the random part
    const auto pid = digits_field(name);
    if (!pid || pid->size() > 9 || name.size() < 2) return std::nullopt;  // ".x" at least before it
    return static_cast<pid_t>(std::strtol(std::string(*pid).c_str(), nullptr, 10));
}

// Removes the temporaries of saves whose process no longer exists: regular
// files of this user whose names follow the temporary pattern. A process on
// another machine sharing the folder cannot be checked; at worst its save
// then fails at its rename, and its old snapshot stays.
void remove_stale_temporaries(const std::string& folder) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    const pid_t self = ::getpid();
    const uid_t user = ::geteuid();
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::optional<pid_t> owner = temporary_owner(entry->d_name);
        if (!owner || *owner <= 0 || *owner == self) continue;
        if (::kill(*owner, 0) == 0 || errno != ESRCH) continue;
        struct stat st;
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode) || st.st_uid != user) continue;
        ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
}

// A temporary file being written, removed unless it was renamed.
struct Temporary {
    std::string name;
    FileDescriptor fd;
    ~Temporary() {
        if (!name.empty()) ::unlink(name.c_str());
    }
};

// Creates a new temporary file in `folder`; 0 or the error (INTERRUPTED
// when a signal's handler asked to give up).
int create_temporary(const std::string& folder, const std::string& base, const Interrupt& interrupt, Temporary& temp) {
    int error = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        temp.name = temporary_name(folder, base);
        temp.fd.reset(open_interruptible(temp.name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666, interrupt, error));
        if (temp.fd.get() >= 0) return 0;
        if (error != EEXIST) break;
    }
    temp.name.clear();
    return error;
}

// Writes the image into the temporary file, syncs it, gives it the old
// file's permission bits (and owner, where allowed), renames it over the
// target and syncs the folder, so the rename itself is durable.
FileOutcome replace_with(Temporary& temp, const std::string& path, const struct stat* old,
                         std::span<const std::uint8_t> image, const Interrupt& interrupt) {
    if (old != nullptr) {
        ::fchmod(temp.fd.get(), old->st_mode & 07777);
        if (::fchown(temp.fd.get(), old->st_uid, old->st_gid) < 0) {
            // Only the owner's own ids can be given without privileges.
        }
    }
    if (const int rc = write_all(temp.fd.get(), image, interrupt)) return write_error(rc);
    if (const int rc = sync_retrying(temp.fd.get())) return write_error(rc);
    if (const int rc = temp.fd.close()) return write_error(rc);
    if (::rename(temp.name.c_str(), path.c_str()) < 0) return write_error(errno);
    temp.name.clear();  // renamed: nothing to remove
    int error = 0;
    FileDescriptor dir(open_interruptible(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY, 0, Interrupt{}, error));
    if (dir.get() >= 0) {
        const int rc = sync_retrying(dir.get());
        if (rc != 0 && rc != EINVAL) return write_error(rc);
    }
    return {};
}

// The size of physical memory: the most a non-regular source may deliver.
std::uint64_t physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES), page = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return UINT64_MAX;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page);
}

}  // namespace

FileOutcome write_snapshot_file(const std::string& requested, std::span<const std::uint8_t> image,
                                const Interrupt& interrupt) {
    if (requested.find('\0') != std::string::npos) return failure_with(std::string(CREATE_FAILED) + NUL_IN_PATH);
    const std::optional<std::string> followed = follow_links(requested);
    if (!followed) return failure_with(std::string(CREATE_FAILED) + os_error(ELOOP));
    const std::string& path = *followed;
    struct stat st;
    const struct stat* old = ::stat(path.c_str(), &st) == 0 ? &st : nullptr;
    if (old != nullptr && !S_ISREG(old->st_mode)) return write_in_place(path, image, false, interrupt);

    // A temporary file next to the target, so the rename stays on one file system.
    const std::string folder = folder_of(path);
    remove_stale_temporaries(folder);
    Temporary temp;
    const int create_error = create_temporary(folder, base_of(path), interrupt, temp);
    if (create_error == INTERRUPTED) return interrupted();
    if (create_error == 0) return replace_with(temp, path, old, image, interrupt);
    // The folder refuses new files (no write permission on it); the target
    // itself may still be writable. Any other failure (a full disk, no inodes
    // left) leaves the old file alone.
    if (old != nullptr && (create_error == EACCES || create_error == EPERM)) {
        int error = 0;
        const int target = open_interruptible(path.c_str(), O_WRONLY, 0, interrupt, error);
        if (target >= 0) return write_in_place(path, image, true, interrupt, target);
        if (error == INTERRUPTED) return interrupted();
    }
    return failure_with(std::string(CREATE_FAILED) + os_error(create_error));
}

SnapshotReader::~SnapshotReader() {
    if (fd_ >= 0) ::close(fd_);
}

FileOutcome SnapshotReader::open(const std::string& path) {
    if (path.find('\0') != std::string::npos) return failure_with(std::string(OPEN_FAILED) + NUL_IN_PATH);
    int error = 0;
    fd_ = open_interruptible(path.c_str(), O_RDONLY, 0, interrupt_, error);
    if (fd_ < 0) return error == INTERRUPTED ? interrupted() : failure_with(std::string(OPEN_FAILED) + os_error(error));
    struct stat st;
    if (::fstat(fd_, &st) == 0) {
        regular_ = S_ISREG(st.st_mode) || S_ISDIR(st.st_mode);
        if (S_ISREG(st.st_mode) && st.st_size > 0) size_hint_ = static_cast<std::uint64_t>(st.st_size);
    }
    limit_ = regular_ ? UINT64_MAX : physical_memory();
    return {};
}

bool SnapshotReader::pull(core::PodBuffer<std::uint8_t>& buffer, std::size_t want) {
    constexpr std::size_t CHUNK = 1 << 20;
    if (failed()) return false;
    try {
        // The file's size is only a hint: it is read until the image ends.
        if (buffer.capacity() == 0 && size_hint_ != 0) {
            buffer.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size_hint_, std::uint64_t{1} << 30)));
        }
        std::size_t got = 0;
        while (got < want) {
            const std::size_t size = buffer.size();
            const std::size_t chunk = std::max(std::min(want - got, CHUNK * 64), CHUNK);
            std::uint8_t* target = buffer.extend(chunk);
            const ssize_t n = ::read(fd_, target, chunk);
            buffer.set_size(size + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            if (n < 0) {
                if (errno != EINTR) {
                    failure_ = failure_with(std::string(READ_FAILED) + os_error(errno));
                    return false;
                }
                if (interrupt_()) {
                    failure_ = interrupted();
                    return false;
                }
                continue;
            }
            if (n == 0) return false;  // the end of the file
            got += static_cast<std::size_t>(n);
            total_ += static_cast<std::uint64_t>(n);
            if (total_ > limit_) {
                failure_ = failure_with(std::string(READ_FAILED) + os_error(EFBIG));
                return false;
            }
        }
    } catch (const std::bad_alloc&) {
        failure_ = failure_with(std::string(READ_FAILED) + "out of memory");
        return false;
    }
    return true;
}

}  // namespace karnoxel::storage
