// Bulk jobs: imports of vCard files, exports to vCard files, copies, moves
// and deletes of many contacts, run on the service's workers chunk by
// chunk while the bus thread keeps answering.
//
// A job belongs to the client (unique bus name) that opened it; every
// per-job method checks the handle and the owner.  Each chunk of
// limits::kBulkChunk contacts is one transaction, and the job's progress
// (the import's byte offset, the position in its index list) is written in
// that same transaction, so a stop or a killed service leaves whole
// contacts and a resumed job neither repeats nor skips one.  After each
// chunk the job goes back to the end of the workers' queue, so several jobs
// (and other long work) take turns.
//
// Each chunk that changed contacts announces it once per storage, whatever
// its size: an import or copy "copy some contacts" (target), a move "move
// some contacts" (source, then target), a delete "delete some contacts".
//
// A job whose client leaves the bus, or that was running when the service
// stopped, is closed for its handle; its progress stays in bulk_jobs as an
// interrupted job for a day, and a client of the same user may take it
// over (adopt) and resume it.
//
// A job is counted for the user (uid) that opened it, over all the user's
// clients (user-quotas.h): its handle, its thumbs, its open file; a user
// keeps at most limits::per_user::kInterruptedJobs interrupted jobs (the
// oldest goes).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/caller-files.h"
#include "contacts/contact-store.h"
#include "core/database.h"
#include "core/user-quotas.h"
#include "vcard/vcard-reader.h"
#include "core/workers.h"

namespace contact_engine {

// open_param1.
enum BulkKind : int { kBulkImport = 1, kBulkExport = 2, kBulkCopy = 3, kBulkMove = 4, kBulkDelete = 5 };

// bulk_operation_status_t.state, and exec's operation_state.
enum BulkState : int { kJobOpened = 0, kJobRunning = 1, kJobStopped = 2, kJobDone = 3, kJobFailed = 4 };

struct BulkJob;

// A client's thumb array: `count` (above 0) contact indexes of 4 bytes,
// little-endian; throws ServiceError (kBulkBadThumbs).
std::vector<int> thumb_list(const Bytes &thumbs, std::int32_t count);

// What one chunk of a job did: contacts handled, items skipped and the code
// of the last one skipped.
struct ChunkTally {
    int done = 0;
    int failed = 0;
    int last_error = 0;
    int skipped_properties = 0; // left out of the cards that were stored
    void skip(int code)
    {
        ++failed;
        last_error = code;
    }
};

class BulkJobs {
public:
    BulkJobs(Database &db, ContactStore &contacts, Workers &workers, UserQuotas &quotas, std::string export_directory);
    BulkJobs(const BulkJobs &) = delete;
    BulkJobs &operator=(const BulkJobs &) = delete;

    // The calling client is current_caller(); its identity is asked from
    // the bus where a file is involved.
    std::int32_t open(std::int32_t kind, std::int32_t storages);
    void set_thumbs(std::int32_t handle, const Bytes &thumbs, std::int32_t count);
    void set_source(std::int32_t handle, const std::string &path);
    std::string target_file(std::int32_t handle);
    std::int32_t exec(std::int32_t handle);
    Bytes info(std::int32_t handle);
    void stop(std::int32_t handle);
    void resume(std::int32_t handle);
    void close(std::int32_t handle);
    void stop_all();
    void close_all();
    bool any_running();
    std::int32_t adopt(std::int32_t handle);
    // Properties an import left out of the cards it stored (values it could
    // not read); its cards are stored with the rest.
    std::int32_t skipped_properties(std::int32_t handle);

    // A client left the bus: its jobs go (unfinished ones stay adoptable).
    void client_vanished(const std::string &name);

private:
    std::shared_ptr<BulkJob> owned(std::int32_t handle); // mutex_ held
    void schedule(const std::shared_ptr<BulkJob> &job);  // mutex_ held
    void run_chunk(const std::shared_ptr<BulkJob> &job);
    bool import_chunk(BulkJob &job);
    bool export_chunk(BulkJob &job);
    bool copy_chunk(BulkJob &job);
    bool delete_chunk(BulkJob &job);
    void insert_row(const BulkJob &job, int state);
    void commit_chunk(BulkJob &job, const ChunkTally &tally, const std::function<void()> &advance);
    void save_progress(const BulkJob &job); // inside the chunk's change()
    void save_state(const BulkJob &job);
    // Takes a job from its handle (mutex_ held); `rows` gets the handles
    // whose rows go, deleted by delete_rows() after the lock: a chunk holds
    // the database's writer while it takes mutex_, never the other way.
    void forget(const std::shared_ptr<BulkJob> &job, bool keep_if_unfinished, std::vector<std::int32_t> &rows);
    void delete_rows(const std::vector<std::int32_t> &handles);
    // Drops `uid`'s oldest interrupted jobs past its limit (not under mutex_).
    void keep_fewest_interrupted(uid_t uid);

    Database &db_;
    ContactStore &contacts_;
    Workers &workers_;
    UserQuotas &quotas_;
    std::string export_directory_;
    std::mutex mutex_;
    std::map<std::int32_t, std::shared_ptr<BulkJob>> jobs_;
    std::map<std::int32_t, std::shared_ptr<BulkJob>> draining_; // closed, a chunk still in flight
    std::set<std::int32_t> leaving_;                             // rows being deleted on a worker
    std::int32_t next_handle_ = 1;
};

} // namespace contact_engine
