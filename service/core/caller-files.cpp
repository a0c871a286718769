#include "core/caller-files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>

#include "core/service-error.h"
#include "core/service-limits.h"

namespace contact_engine {

namespace {

std::string system_reason(int error)
{
    return std::strerror(error);
}

// This thread's file-system identity switched to `who` for its lifetime.
// Raw syscalls: glibc's setgroups() would change every thread of the
// service, the kernel's acts on the calling thread alone.
class ThreadIdentity {
public:
    explicit ThreadIdentity(const CallerIdentity &who)
    {
        saved_groups_.resize(64);
        int count = int(syscall(SYS_getgroups, int(saved_groups_.size()), saved_groups_.data()));
        if (count < 0)
            count = 0;
        saved_groups_.resize(std::size_t(count));
        if (syscall(SYS_setgroups, who.groups.size(), who.groups.data()) != 0 && !who.groups.empty())
            switched_ = false;
        setfsgid(who.gid);
        setfsuid(who.uid);
        // setfs*id() answer the previous value; asking again with -1 tells
        // whether the switch took.
        if (int(setfsuid(uid_t(-1))) != int(who.uid) || int(setfsgid(gid_t(-1))) != int(who.gid))
            switched_ = false;
    }
    ~ThreadIdentity()
    {
        setfsuid(geteuid());
        setfsgid(getegid());
        syscall(SYS_setgroups, saved_groups_.size(), saved_groups_.data());
    }
    ThreadIdentity(const ThreadIdentity &) = delete;
    ThreadIdentity &operator=(const ThreadIdentity &) = delete;
    bool switched() const { return switched_; }

private:
    std::vector<gid_t> saved_groups_;
    bool switched_ = true;
};

} // namespace

FileHandle &FileHandle::operator=(FileHandle &&other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.release();
    }
    return *this;
}

FileHandle::~FileHandle()
{
    if (fd_ >= 0)
        ::close(fd_);
}

int FileHandle::release()
{
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

namespace {

// ---- a client's file -----------------------------------------------------------

// Whether a path lies under /proc, where the magic links are.
bool under_proc(const std::string &path)
{
    const std::size_t start = path.find_first_not_of('/');
    return start != std::string::npos && path.compare(start, 4, "proc") == 0 &&
           (path.size() == start + 4 || path[start + 4] == '/');
}

// Whether the mode bits of a file let `who` read it (the kernel's check,
// without ACLs).
bool mode_lets_read(const struct stat &status, const CallerIdentity &who)
{
    if (who.uid == 0)
        return true;
    if (status.st_uid == who.uid)
        return (status.st_mode & S_IRUSR) != 0;
    if (status.st_gid == who.gid || std::find(who.groups.begin(), who.groups.end(), status.st_gid) != who.groups.end())
        return (status.st_mode & S_IRGRP) != 0;
    return (status.st_mode & S_IROTH) != 0;
}

struct Opened {
    int fd = -1;
    int error = 0;
    bool without_openat2 = false; // the file still has to pass mode_lets_read()
};

// Opens `path` for reading without ever following a magic link (a
// /proc/*/fd/N would hand out whatever the service itself has open):
// openat2 with RESOLVE_NO_MAGICLINKS; on kernels without it (before 5.6),
// paths under /proc are refused and the opened file must be one the caller
// may read by its mode.
Opened open_without_magic_links(const std::string &path)
{
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK; // a FIFO or device must not block
    struct open_how how {};
    how.flags = kFlags;
    how.resolve = RESOLVE_NO_MAGICLINKS;
    Opened opened;
    opened.fd = int(syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how));
    opened.error = errno;
    if (opened.fd >= 0 || opened.error != ENOSYS)
        return opened;
    opened.without_openat2 = true;
    if (under_proc(path)) {
        opened.error = ELOOP;
        return opened;
    }
    opened.fd = ::open(path.c_str(), kFlags);
    opened.error = errno;
    return opened;
}

std::string open_failure(int error)
{
    if (error == ELOOP)
        return "a link the service does not follow (/proc/*/fd and the like), or too many links";
    return system_reason(error);
}

} // namespace

FileHandle open_as_caller(const CallerIdentity &who, const std::string &path, ErrorCode refused)
{
    if (path.empty() || path[0] != '/')
        fail(refused, "\"" + path + "\" is not an absolute path");
    if (path.find('\0') != std::string::npos)
        fail(refused, "the path holds a NUL byte");
    Opened opened;
    {
        const ThreadIdentity identity(who);
        if (!identity.switched() && who.uid != geteuid())
            fail(refused, "the service cannot take the caller's identity to open \"" + path + "\"");
        opened = open_without_magic_links(path);
    }
    if (opened.fd < 0)
        fail(refused, "cannot open \"" + path + "\" as the caller: " + open_failure(opened.error));
    FileHandle file(opened.fd);
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        fail(refused, "\"" + path + "\" is not a regular file");
    if (opened.without_openat2 && !mode_lets_read(status, who))
        fail(refused, "\"" + path + "\" is not the caller's to read");
    fcntl(file.get(), F_SETFL, fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

// ---- files written for a client -------------------------------------------------

namespace {

// The export directories and how long their files live.
struct ExportDirectories {
    std::mutex mutex;
    std::map<std::string, std::chrono::seconds> lifetimes;
};

ExportDirectories &export_directories()
{
    static ExportDirectories directories;
    return directories;
}

FileHandle open_directory(int at, const std::string &name)
{
    return FileHandle(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Calls visit(name, status) for each entry of the directory open as `fd`,
// links not followed.
template <class Visit> void for_each_entry(int fd, Visit visit)
{
    const int copy = ::dup(fd);
    std::unique_ptr<DIR, int (*)(DIR *)> directory(copy >= 0 ? fdopendir(copy) : nullptr, closedir);
    if (!directory) {
        if (copy >= 0)
            ::close(copy);
        return;
    }
    rewinddir(directory.get()); // the copy shares its position with `fd`
    while (const struct dirent *entry = readdir(directory.get())) {
        const std::string name = entry->d_name;
        struct stat status {};
        if (name != "." && name != ".." && fstatat(fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
            visit(name, status);
    }
}

// Removes the regular files of the directory open as `fd` last written
// `age` or more ago; returns the bytes of those that stay.
std::uint64_t remove_expired_files(int fd, std::chrono::seconds age)
{
    const time_t now = time(nullptr);
    std::uint64_t kept = 0;
    for_each_entry(fd, [&](const std::string &name, const struct stat &status) {
        if (!S_ISREG(status.st_mode))
            return;
        if (now - status.st_mtime >= age.count() && unlinkat(fd, name.c_str(), 0) == 0)
            return;
        kept += std::uint64_t(status.st_size);
    });
    return kept;
}

// The uid a directory of an export directory belongs to: its name, when
// that is a number and the directory's owner.
bool owner_directory(const std::string &name, const struct stat &status, uid_t &uid)
{
    if (!S_ISDIR(status.st_mode) || name.empty() || name.find_first_not_of("0123456789") != std::string::npos ||
        name.size() > 10)
        return false;
    uid = uid_t(std::stoull(name));
    return status.st_uid == uid;
}

// Removes the expired files of an export directory, in every uid's own
// directory (entered with that uid's identity: they are 0700) and at its
// top (files of earlier versions).  Returns the bytes that stay of `counted`.
std::uint64_t sweep_export_directory(const std::string &directory, std::chrono::seconds age, uid_t counted)
{
    const FileHandle top = open_directory(AT_FDCWD, directory);
    if (!top)
        return 0;
    remove_expired_files(top.get(), age);
    std::uint64_t bytes = 0;
    for_each_entry(top.get(), [&](const std::string &name, const struct stat &status) {
        uid_t uid = 0;
        if (!owner_directory(name, status, uid))
            return;
        const ThreadIdentity owner(CallerIdentity{uid, status.st_gid, {}});
        const FileHandle own = open_directory(top.get(), name);
        const std::uint64_t kept = own ? remove_expired_files(own.get(), age) : 0;
        if (uid == counted)
            bytes += kept;
    });
    return bytes;
}

// The bytes `who`'s files hold over every export directory (and
// `directory`), once the expired ones are removed.
std::uint64_t exported_bytes(const CallerIdentity &who, const std::string &directory)
{
    std::map<std::string, std::chrono::seconds> lifetimes;
    {
        ExportDirectories &directories = export_directories();
        std::lock_guard lock(directories.mutex);
        lifetimes = directories.lifetimes;
    }
    lifetimes.emplace(directory, std::chrono::seconds(limits::kExportLifetimeSeconds));
    std::uint64_t bytes = 0;
    for (const auto &[path, lifetime] : lifetimes)
        bytes += sweep_export_directory(path, lifetime, who.uid);
    return bytes;
}

// `who`'s own directory in the export directory open as `top`: made mode
// 0700 and given to `who` when missing.  Nothing else there is trusted: a
// link in its place is refused, a directory of another owner taken back.
FileHandle caller_directory(int top, const CallerIdentity &who, ErrorCode failed)
{
    const std::string name = std::to_string(who.uid);
    if (mkdirat(top, name.c_str(), 0700) != 0 && errno != EEXIST)
        fail(failed, "cannot make the directory " + name + " for the caller: " + system_reason(errno));
    FileHandle own = open_directory(top, name);
    struct stat status {};
    if (!own || fstat(own.get(), &status) != 0)
        fail(failed, "cannot open the caller's directory " + name + ": " + system_reason(errno));
    if (status.st_uid != who.uid &&
        (fchmod(own.get(), 0700) != 0 || fchown(own.get(), who.uid, who.gid) != 0))
        fail(failed, "cannot give the directory " + name + " to its user: " + system_reason(errno));
    return own;
}

} // namespace

void make_service_directory(const std::string &directory)
{
    std::filesystem::path partial;
    for (const std::filesystem::path &part : std::filesystem::path(directory)) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0711) == 0)
            ::chmod(partial.c_str(), 0711); // past the service's umask
    }
}

void add_export_directory(const std::string &directory, std::chrono::seconds lifetime)
{
    make_service_directory(directory);
    // A directory of the service's (not a shared sticky one) lists nothing
    // to others, whatever an earlier version left.
    struct stat status {};
    if (::stat(directory.c_str(), &status) == 0 && status.st_uid == geteuid() && (status.st_mode & S_ISVTX) == 0)
        ::chmod(directory.c_str(), 0711);
    {
        ExportDirectories &directories = export_directories();
        std::lock_guard lock(directories.mutex);
        directories.lifetimes[directory] = lifetime;
    }
    remove_expired_exports(directory, lifetime);
}

void remove_expired_exports(const std::string &directory, std::chrono::seconds age)
{
    sweep_export_directory(directory, age, uid_t(-1));
}

FileHandle create_for_caller(const CallerIdentity &who, const std::string &directory, const std::string &stem,
                             const std::string &suffix, std::string &path, ErrorCode failed, std::uint64_t size)
{
    const std::uint64_t used = exported_bytes(who, directory);
    if (used + size > limits::kExportBytesPerUid)
        fail(kExportQuotaExceeded, "the caller's exported files hold " + std::to_string(used) + " bytes; with " +
                                       std::to_string(size) + " more they would pass the " +
                                       std::to_string(limits::kExportBytesPerUid) + " a user may keep");
    make_service_directory(directory);
    const FileHandle top = open_directory(AT_FDCWD, directory);
    if (!top)
        fail(failed, "cannot open the directory \"" + directory + "\": " + system_reason(errno));
    const FileHandle own = caller_directory(top.get(), who, failed);
    const std::string own_path = directory + "/" + std::to_string(who.uid);
    static std::atomic<unsigned> serial{0};
    std::random_device entropy;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char name[96];
        std::snprintf(name, sizeof name, "%s-%u-%08x%04x%s", stem.c_str(), unsigned(who.uid), entropy(),
                      serial.fetch_add(1) & 0xffffu, suffix.c_str());
        int fd = -1;
        int error = 0;
        {
            // Made with the caller's identity: the caller's file from the start.
            const ThreadIdentity identity(who);
            if (!identity.switched() && who.uid != geteuid())
                fail(failed, "the service cannot take the caller's identity to write its file");
            fd = ::openat(own.get(), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            error = errno;
        }
        if (fd < 0) {
            if (error == EEXIST)
                continue;
            fail(failed, "cannot create \"" + own_path + "/" + name + "\": " + system_reason(error));
        }
        path = own_path + "/" + name;
        return FileHandle(fd);
    }
    fail(failed, "no free file name in \"" + own_path + "\"");
}

FileHandle reopen_own_file(const CallerIdentity &who, const std::string &path, off_t length, ErrorCode failed)
{
    int fd = -1;
    int error = 0;
    {
        const ThreadIdentity identity(who);
        fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        error = errno;
    }
    if (fd < 0)
        fail(failed, "cannot reopen \"" + path + "\": " + system_reason(error));
    FileHandle file(fd);
    if (ftruncate(fd, length) != 0 || lseek(fd, length, SEEK_SET) < 0)
        fail(failed, "cannot go back to byte " + std::to_string(length) + " of \"" + path + "\": " +
                         system_reason(errno));
    return file;
}

} // namespace contact_engine
