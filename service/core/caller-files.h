// Files named by a client, opened with the client's own file-system
// identity, and files the service writes for a client.
//
// The service runs as root (or its own user) and could open nearly any
// file; a client must not use it to read one the client could not read
// itself.  So a client's file is opened on the calling thread after
// switching that thread's file-system uid, gid and groups to the client's
// (setfsuid, setfsgid and the raw setgroups syscall, which act on one
// thread only), and switching back before anything else runs on it.  The
// kernel then checks every directory and link on the path as it would for
// the client.  The client's identity comes from the bus daemon
// (GetConnectionUnixUser / credentials of the calling connection).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "core/contact-engine-errors.h"

namespace contact_engine {

struct CallerIdentity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups
};

// The identity of the client whose call is being handled; throws
// ServiceError (kBulkFileRefused) when the bus cannot tell it.
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
// never blocking on a FIFO or device.  Throws ServiceError with `refused`
// (and the system's reason) when `who` could not open it.  When the service
// cannot take another identity (it does not run as root), only a caller of
// the service's own uid is served.
FileHandle open_as_caller(const CallerIdentity &who, const std::string &path, ErrorCode refused);

// Creates a new file in `directory` (made when missing, mode 0755) under a
// name the service generates from `stem`, never following a link, and
// gives it to `who` (owner, mode 0600) so the caller can read it.  Returns
// the descriptor, open for writing, and the path in `path`.  Throws
// ServiceError with `failed` when it cannot.
FileHandle create_for_caller(const CallerIdentity &who, const std::string &directory, const std::string &stem,
                             const std::string &suffix, std::string &path, ErrorCode failed);

// Reopens a file the service made earlier (create_for_caller) for writing,
// cut to `length` bytes.
FileHandle reopen_own_file(const std::string &path, off_t length, ErrorCode failed);

} // namespace contact_engine
