#include "core/caller-files.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "core/method-registry.h"
#include "core/service-error.h"

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

CallerIdentity current_caller_identity()
{
    // A long call runs on a worker: the bus thread learnt who called.
    if (const CallerIdentity *known = current_call_identity())
        return *known;
    const sdbus::Message *message = current_message();
    if (message == nullptr)
        fail(kBulkFileRefused, "the caller's identity is unknown outside a call");
    CallerIdentity who;
    try {
        who.uid = message->getCredsUid();
    } catch (const sdbus::Error &error) {
        fail(kBulkFileRefused, "the bus did not tell the caller's user: " + error.getMessage());
    }
    // The bus daemon reports the user and the supplementary groups; the
    // primary group is the user's own.
    try {
        who.groups = message->getCredsSupplementaryGids();
    } catch (const sdbus::Error &) {
        who.groups.clear();
    }
    try {
        who.gid = message->getCredsGid();
    } catch (const sdbus::Error &) {
        struct passwd entry {};
        struct passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(who.uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
            who.gid = found->pw_gid;
        else
            who.gid = gid_t(-1); // no group at all: group and other rights only
    }
    return who;
}

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

FileHandle open_as_caller(const CallerIdentity &who, const std::string &path, ErrorCode refused)
{
    if (path.empty() || path[0] != '/')
        fail(refused, "\"" + path + "\" is not an absolute path");
    if (path.find('\0') != std::string::npos)
        fail(refused, "the path holds a NUL byte");
    int fd = -1;
    int error = 0;
    {
        const ThreadIdentity identity(who);
        if (!identity.switched() && who.uid != geteuid())
            fail(refused, "the service cannot take the caller's identity to open \"" + path + "\"");
        // O_NONBLOCK: a FIFO or a device must not hold the bus thread.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        error = errno;
    }
    if (fd < 0)
        fail(refused, "cannot open \"" + path + "\" as the caller: " + system_reason(error));
    FileHandle file(fd);
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        fail(refused, "\"" + path + "\" is not a regular file");
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return file;
}

FileHandle create_for_caller(const CallerIdentity &who, const std::string &directory, const std::string &stem,
                             const std::string &suffix, std::string &path, ErrorCode failed)
{
    if (mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
        fail(failed, "cannot make the directory \"" + directory + "\": " + system_reason(errno));
    static std::atomic<unsigned> serial{0};
    std::random_device entropy;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char name[96];
        std::snprintf(name, sizeof name, "%s-%u-%08x%04x%s", stem.c_str(), unsigned(who.uid), entropy(),
                      serial.fetch_add(1) & 0xffffu, suffix.c_str());
        const std::string candidate = directory + "/" + name;
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            fail(failed, "cannot create \"" + candidate + "\": " + system_reason(errno));
        }
        FileHandle file(fd);
        // The caller reads it as its owner; a service that cannot give
        // files away (not root) leaves it readable by all instead.
        if (fchown(fd, who.uid, who.gid == gid_t(-1) ? gid_t(-1) : who.gid) != 0 && who.uid != geteuid())
            fchmod(fd, 0644);
        path = candidate;
        return file;
    }
    fail(failed, "no free file name in \"" + directory + "\"");
}

FileHandle reopen_own_file(const std::string &path, off_t length, ErrorCode failed)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail(failed, "cannot reopen \"" + path + "\": " + system_reason(errno));
    FileHandle file(fd);
    if (ftruncate(fd, length) != 0 || lseek(fd, length, SEEK_SET) < 0)
        fail(failed, "cannot go back to byte " + std::to_string(length) + " of \"" + path + "\": " +
                         system_reason(errno));
    return file;
}

} // namespace contact_engine
