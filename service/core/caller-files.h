// Who calls, files named by a client, opened with the client's own
// file-system identity, and files the service writes for a client.
//
// Who calls is what the bus daemon says about the sender's unique name: the
// uid it took from the socket when the client connected
// (GetConnectionCredentials), asked once per name and forgotten when the
// name leaves the bus.  Never a pid: a pid outlives its process and may
// belong to another user by the time it is looked at.
//
// The service runs as root (or its own user with the capabilities for
// this) and could open nearly any file; a client must not use it to read
// one the client could not read itself.  So a client's file is opened on
// the calling thread after switching that thread's file-system uid, gid
// and groups to the client's (setfsuid, setfsgid and the raw setgroups
// syscall, which act on one thread only), and switching back before
// anything else runs on it.  The kernel then checks every directory and
// link on the path as it would for the client; magic links (/proc/*/fd/N
// and the like, which would hand out the service's own descriptors) are
// never followed.
//
// Files the service writes for a client go into a directory of that
// client's own under each export directory (<directory>/<uid>/, mode 0700,
// owned by the uid), created with the client's identity, so the client
// reads and removes them and no other user does.  They expire, and a uid's
// files together are capped (service-limits.h).
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/contact-engine-errors.h"

namespace contact_engine {

struct CallerIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

class ClientWatch;

// The identities of the clients, as the bus daemon reports them, kept per
// unique name while the name is on the bus.  The service makes one (main);
// current_caller_identity() asks it.  It asks the daemon over a connection
// of its own, so any thread may ask.
class BusCallers {
public:
    explicit BusCallers(ClientWatch &clients);
    ~BusCallers();
    BusCallers(const BusCallers &) = delete;
    BusCallers &operator=(const BusCallers &) = delete;

    // Throws ServiceError (kBulkFileRefused) when the daemon cannot tell.
    CallerIdentity identity_of(const std::string &unique_name);

private:
    CallerIdentity ask_daemon(const std::string &unique_name);

    std::mutex mutex_; // the cache and the daemon connection
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> daemon_;
    std::map<std::string, CallerIdentity> known_;
};

// The identity of the client whose call is being handled (current_caller()):
// the uid the bus daemon reports for its unique name, the groups the daemon
// reports or else the user database's (primary group and getgrouplist).
// Throws ServiceError (kBulkFileRefused) when the bus cannot tell it.
CallerIdentity current_caller_identity();

// An open descriptor, closed when it goes.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle &&other) noexcept : fd_(other.release()) {}
    FileHandle &operator=(FileHandle &&other) noexcept;
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle();
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Opens `path` (absolute) for reading as `who` would: a regular file only,
// never blocking on a FIFO or device, never through a magic link.  Throws ServiceError with `refused`
// (and the system's reason) when `who` could not open it.  When the service
// cannot take another identity (it does not run as root), only a caller of
// the service's own uid is served.
FileHandle open_as_caller(const CallerIdentity &who, const std::string &path, ErrorCode refused);

// Makes `directory` and its missing parents, each mode 0711 (past the
// service's umask): other users pass through to their own directories
// below but list and read nothing.
void make_service_directory(const std::string &directory);

// Makes `directory` (mode 0711: others pass through to their own directory
// but list nothing) and registers it as an export directory whose files
// live `lifetime`; removes the files that outlived it.  Every
// create_for_caller() removes expired files in all registered directories
// and counts a uid's bytes over all of them.
void add_export_directory(const std::string &directory, std::chrono::seconds lifetime);

// Removes the callers' files in `directory` written more than `age` ago.
void remove_expired_exports(const std::string &directory, std::chrono::seconds age);

// Creates a new file in `who`'s own directory of the export directory
// `directory` (<directory>/<uid>/, made mode 0700 and given to the uid when
// missing) under a name the service generates from `stem`, never following
// a link, with `who`'s identity (owner `who`, mode 0600).  `size`: bytes
// the file will hold, when known.  Returns the descriptor, open for
// writing, and the path in `path`.  Throws ServiceError kExportQuotaExceeded
// when `who`'s files would hold more than limits::kExportBytesPerUid, and
// `failed` when it cannot make the file.
FileHandle create_for_caller(const CallerIdentity &who, const std::string &directory, const std::string &stem,
                             const std::string &suffix, std::string &path, ErrorCode failed,
                             std::uint64_t size = 0);

// Reopens, with `who`'s identity, a file the service made for `who`
// earlier (create_for_caller) for writing, cut to `length` bytes.
FileHandle reopen_own_file(const CallerIdentity &who, const std::string &path, off_t length, ErrorCode failed);

} // namespace contact_engine
