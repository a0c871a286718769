#include "bulk/bulk-jobs.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <future>
#include <iostream>

#include "core/method-registry.h"
#include "core/service-limits.h"
#include "vcard/vcard-writer.h"

namespace contact_engine {

namespace {

// Forward migrations of the bulk family; entry N takes version N to N + 1.
constexpr std::array<const char *, 2> kMigrations{{
    R"(CREATE TABLE bulk_jobs (
           handle        INTEGER PRIMARY KEY,
           kind          INTEGER NOT NULL,
           source        INTEGER NOT NULL,
           target        INTEGER NOT NULL,
           uid           INTEGER NOT NULL,
           source_path   TEXT NOT NULL,
           target_path   TEXT NOT NULL,
           thumbs        BLOB NOT NULL,
           offset        INTEGER NOT NULL,
           position      INTEGER NOT NULL,
           target_length INTEGER NOT NULL,
           done          INTEGER NOT NULL,
           failed        INTEGER NOT NULL,
           total         INTEGER NOT NULL,
           last_error    INTEGER NOT NULL,
           state         INTEGER NOT NULL,
           updated       INTEGER NOT NULL);)",
    // Properties an import left out of the cards it stored (unreadable
    // values); the 24-byte status has no room for them.
    "ALTER TABLE bulk_jobs ADD COLUMN skipped_properties INTEGER NOT NULL DEFAULT 0;",
}};

// An interrupted job can be taken over for this long.
constexpr std::int64_t kInterruptedLifetime = 24 * 60 * 60;

std::int64_t now()
{
    return std::int64_t(std::time(nullptr));
}

Bytes thumbs_blob(const std::vector<int> &thumbs)
{
    Bytes blob(thumbs.size() * 4);
    for (std::size_t i = 0; i < thumbs.size(); ++i)
        contact_wire::write_i32(blob.data(), i * 4, thumbs[i]);
    return blob;
}

std::vector<int> thumbs_of(const void *data, std::size_t length)
{
    std::vector<int> thumbs(length / 4);
    for (std::size_t i = 0; i < thumbs.size(); ++i)
        thumbs[i] = contact_wire::read_i32(static_cast<const std::uint8_t *>(data), i * 4);
    return thumbs;
}

bool takes_thumbs(int kind)
{
    return kind != kBulkImport;
}

// Where the last line that starts in the final bytes before `end` begins,
// read again from the file; `end` itself when none does.  A chunk that
// found no card in its whole window goes on from there, so a BEGIN:VCARD
// cut by the window's end is read whole by the next chunk (a line that long
// is no BEGIN:VCARD).
std::uint64_t line_start_before(int fd, std::uint64_t end)
{
    char tail[256];
    const std::uint64_t from = end - sizeof tail;
    const ssize_t count = ::pread(fd, tail, sizeof tail, off_t(from));
    for (ssize_t i = count - 1; i >= 0; --i)
        if (tail[i] == '\n')
            return from + std::uint64_t(i) + 1;
    return end;
}

} // namespace

// One card of an import chunk: its contact (none when it failed) and the
// offset just past it.
struct ChunkCard {
    std::optional<Record> record;
    std::uint64_t end_offset;
    ErrorCode error;
    std::size_t dropped_properties = 0; // properties the reader could not use
    ContactKeys keys{};
};

// An import chunk read and given its keys, ready to be stored.
struct ReadChunk {
    std::vector<ChunkCard> cards;
    std::uint64_t end_offset = 0;
    bool at_end = false;
};

struct BulkJob {
    // Fixed once the job runs.
    std::int32_t handle = 0;
    int kind = 0;
    std::string owner; // unique bus name
    CallerIdentity who;
    ContactStorage source{};
    ContactStorage target{};
    std::vector<int> thumbs;
    std::string source_path;
    std::string target_path;
    off_t source_size = 0;

    // Worker's own while the job runs.
    FileHandle source_file;
    FileHandle target_file;
    // The import's next chunk, read on another thread while this one is
    // stored; declared after what it reads, so it is waited for first.
    std::future<ReadChunk> next_chunk;
    int next_free = 1; // where the search for free indexes goes on

    // What it counts for its user, given back when the job goes.
    UserQuotas::Hold counted;     // one of the user's open jobs
    UserQuotas::Hold thumbs_held; // its thumbs
    UserQuotas::Hold file_held;   // its source or target file

    // Progress, under BulkJobs::mutex_.
    int state = kJobOpened;
    int done = 0;
    int total = -1;
    int failed = 0;
    int last_error = 0;
    int skipped_properties = 0;
    std::uint64_t offset = 0;   // import: bytes of the file consumed
    std::size_t position = 0;   // others: thumbs handled
    std::int64_t target_length = 0;
    bool queued = false;        // a chunk of it waits in the workers' queue or runs
    bool stop_requested = false;
    bool closed = false;

    int progress() const
    {
        if (state == kJobDone)
            return 1000;
        if (kind == kBulkImport)
            return source_size > 0 ? int(std::min<std::uint64_t>(1000, offset * 1000 / std::uint64_t(source_size))) : 0;
        return thumbs.empty() ? 0 : int(position * 1000 / thumbs.size());
    }
};

BulkJobs::BulkJobs(Database &db, ContactStore &contacts, Workers &workers, UserQuotas &quotas,
                   std::string export_directory)
    : db_(db), contacts_(contacts), workers_(workers), quotas_(quotas), export_directory_(std::move(export_directory))
{
    db_.migrate("bulk", kMigrations);
    db_.change([&] {
        // Jobs that ran when the service stopped are interrupted now;
        // finished ones and old interrupted ones go, and so do a user's
        // oldest past its limit.
        SQLite::Statement old(db_.sql(), "DELETE FROM bulk_jobs WHERE state NOT IN (1, 2) OR updated < ?");
        old.bind(1, now() - kInterruptedLifetime);
        old.exec();
        SQLite::Statement surplus(db_.sql(), "DELETE FROM bulk_jobs WHERE handle IN (SELECT handle FROM (SELECT "
                                             "handle, row_number() OVER (PARTITION BY uid ORDER BY updated DESC, "
                                             "handle DESC) AS newest FROM bulk_jobs) WHERE newest > ?)");
        surplus.bind(1, std::int64_t(limits::per_user::kInterruptedJobs));
        surplus.exec();
        next_handle_ = db_.sql().execAndGet("SELECT coalesce(max(handle), 0) + 1 FROM bulk_jobs").getInt();
    });
}

std::shared_ptr<BulkJob> BulkJobs::owned(std::int32_t handle)
{
    const auto found = jobs_.find(handle);
    if (found == jobs_.end())
        fail(kBulkNoJob, "no bulk job " + std::to_string(handle));
    if (found->second->owner != current_caller())
        fail(kBulkNotOwner, "bulk job " + std::to_string(handle) + " belongs to another client");
    return found->second;
}

std::int32_t BulkJobs::open(std::int32_t kind, std::int32_t storages)
{
    auto job = std::make_shared<BulkJob>();
    job->kind = kind;
    job->owner = current_caller();
    job->who = current_caller_identity(); // its row names the user, who may adopt it
    switch (kind) {
    case kBulkImport:
        job->target = contact_storage(storages);
        break;
    case kBulkExport:
    case kBulkDelete:
        job->source = contact_storage(storages);
        break;
    case kBulkCopy:
    case kBulkMove:
        if (storages < 0 || storages > 0xffff)
            fail(kBulkUnknownKind, "open_param2 " + std::to_string(storages) + " is not (source << 8) | target");
        job->source = contact_storage(storages >> 8);
        job->target = contact_storage(storages & 0xff);
        if (job->source.table == job->target.table)
            fail(kBulkUnknownKind, "a copy or move needs two different storages");
        break;
    default:
        fail(kBulkUnknownKind, "no bulk job kind " + std::to_string(kind) + " (1 import, 2 export, 3 copy, 4 move, 5 delete)");
    }
    job->counted = quotas_.take(job->who.uid, Quota::BulkJobs);
    job->thumbs_held = quotas_.take(job->who.uid, Quota::Thumbs, 0);
    std::lock_guard lock(mutex_);
    job->handle = next_handle_++;
    jobs_.emplace(job->handle, job);
    return job->handle;
}

std::vector<int> thumb_list(const Bytes &thumbs, std::int32_t count)
{
    if (count < 1 || thumbs.size() != std::size_t(count) * 4)
        fail(kBulkBadThumbs, "the thumb array of " + std::to_string(thumbs.size()) + " bytes is not " +
                                 std::to_string(count) + " indexes of 4 bytes");
    return thumbs_of(thumbs.data(), thumbs.size());
}

void BulkJobs::set_thumbs(std::int32_t handle, const Bytes &thumbs, std::int32_t count)
{
    const std::vector<int> more = thumb_list(thumbs, count);
    std::lock_guard lock(mutex_);
    const auto job = owned(handle);
    if (!takes_thumbs(job->kind))
        fail(kBulkBadThumbs, "an import takes no thumbs: its contacts come from its file");
    if (job->state != kJobOpened)
        fail(kBulkWrongState, "thumbs are given before the job is executed");
    job->thumbs_held.grow(std::size_t(count));
    job->thumbs.insert(job->thumbs.end(), more.begin(), more.end());
}

void BulkJobs::set_source(std::int32_t handle, const std::string &path)
{
    {
        std::lock_guard lock(mutex_);
        const auto job = owned(handle);
        if (job->kind != kBulkImport)
            fail(kBulkNoSource, "only an import reads a file");
        if (job->state != kJobOpened)
            fail(kBulkWrongState, "the source is given before the job is executed");
    }
    // Opened with the caller's own identity: what it could not read, the
    // service does not read for it.
    const CallerIdentity who = current_caller_identity();
    UserQuotas::Hold file_held = quotas_.take(who.uid, Quota::OpenFiles);
    FileHandle file = open_as_caller(who, path, kBulkFileRefused);
    struct stat status {};
    fstat(file.get(), &status);
    std::lock_guard lock(mutex_);
    const auto job = owned(handle);
    if (job->state != kJobOpened)
        fail(kBulkWrongState, "the source is given before the job is executed");
    job->who = who;
    job->source_path = path;
    job->source_size = status.st_size;
    job->source_file = std::move(file);
    job->file_held = std::move(file_held);
}

std::string BulkJobs::target_file(std::int32_t handle)
{
    std::lock_guard lock(mutex_);
    const auto job = owned(handle);
    if (job->kind != kBulkExport)
        fail(kBulkNoSource, "only an export writes a file");
    if (job->target_path.empty())
        fail(kBulkWrongState, "the export file is made when the job is executed");
    return job->target_path;
}

std::int32_t BulkJobs::exec(std::int32_t handle)
{
    std::shared_ptr<BulkJob> job;
    {
        std::lock_guard lock(mutex_);
        job = owned(handle);
        if (job->state != kJobOpened || job->queued)
            fail(kBulkWrongState, "bulk job " + std::to_string(handle) + " was executed already");
        if (job->kind == kBulkImport && !job->source_file)
            fail(kBulkNoSource, "an import needs its vCard file first (set_source on the Bulk interface)");
        if (job->kind == kBulkDelete && job->thumbs.empty())
            fail(kBulkNoThumbs, "a delete job needs the indexes to delete (set_thumb)");
    }
    // Without thumbs a copy, move or export takes the whole source storage,
    // as it is now.
    if (takes_thumbs(job->kind) && job->thumbs.empty()) {
        std::vector<int> every = contacts_.indices(job->source.table);
        std::lock_guard lock(mutex_);
        job->thumbs_held.grow(every.size());
        job->thumbs = std::move(every);
    }
    if (job->kind == kBulkExport) {
        UserQuotas::Hold file_held = quotas_.take(job->who.uid, Quota::OpenFiles);
        std::string path;
        FileHandle file = create_for_caller(job->who, export_directory_, "export-" + std::to_string(handle), ".vcf",
                                            path, kBulkFileError);
        std::lock_guard lock(mutex_);
        job->target_path = path;
        job->target_file = std::move(file);
        job->file_held = std::move(file_held);
    }
    job->total = job->kind == kBulkImport ? -1 : int(job->thumbs.size());
    insert_row(*job, kJobRunning);
    std::lock_guard lock(mutex_);
    if (job->closed)
        fail(kBulkNoJob, "bulk job " + std::to_string(handle) + " was closed");
    job->state = kJobRunning;
    schedule(job);
    return job->state;
}

Bytes BulkJobs::info(std::int32_t handle)
{
    std::lock_guard lock(mutex_);
    const auto job = owned(handle);
    Bytes status(24);
    const int fields[] = {job->state, job->done, job->total, job->failed, job->progress(), job->last_error};
    for (std::size_t i = 0; i < 6; ++i)
        contact_wire::write_i32(status.data(), i * 4, fields[i]);
    return status;
}

std::int32_t BulkJobs::skipped_properties(std::int32_t handle)
{
    std::lock_guard lock(mutex_);
    return owned(handle)->skipped_properties;
}

void BulkJobs::stop(std::int32_t handle)
{
    std::lock_guard lock(mutex_);
    const auto job = owned(handle);
    if (job->state != kJobRunning && job->state != kJobStopped)
        fail(kBulkWrongState, "bulk job " + std::to_string(handle) + " is not running");
    if (job->state == kJobRunning)
        job->stop_requested = true;
}

void BulkJobs::resume(std::int32_t handle)
{
    std::lock_guard lock(mutex_);
    const auto job = owned(handle);
    if (job->state == kJobRunning && job->stop_requested) {
        job->stop_requested = false; // its chunk had not ended yet
        return;
    }
    if (job->state != kJobStopped)
        fail(kBulkWrongState, "bulk job " + std::to_string(handle) + " is not stopped");
    job->state = kJobRunning;
    schedule(job);
}

void BulkJobs::close(std::int32_t handle)
{
    std::vector<std::int32_t> rows;
    {
        std::lock_guard lock(mutex_);
        forget(owned(handle), false, rows);
    }
    delete_rows(rows);
}

void BulkJobs::stop_all()
{
    std::lock_guard lock(mutex_);
    for (auto &[handle, job] : jobs_)
        if (job->owner == current_caller() && job->state == kJobRunning)
            job->stop_requested = true;
}

void BulkJobs::close_all()
{
    std::vector<std::int32_t> rows;
    {
        std::lock_guard lock(mutex_);
        std::vector<std::shared_ptr<BulkJob>> mine;
        for (auto &[handle, job] : jobs_)
            if (job->owner == current_caller())
                mine.push_back(job);
        for (auto &job : mine)
            forget(job, false, rows);
    }
    delete_rows(rows);
}

bool BulkJobs::any_running()
{
    std::lock_guard lock(mutex_);
    return std::any_of(jobs_.begin(), jobs_.end(), [](const auto &entry) { return entry.second->state == kJobRunning; });
}

void BulkJobs::client_vanished(const std::string &name)
{
    std::vector<std::int32_t> rows;
    std::vector<uid_t> users;
    {
        std::lock_guard lock(mutex_);
        std::vector<std::shared_ptr<BulkJob>> gone;
        for (auto &[handle, job] : jobs_)
            if (job->owner == name)
                gone.push_back(job);
        for (auto &job : gone) {
            forget(job, true, rows);
            users.push_back(job->who.uid);
        }
    }
    delete_rows(rows);
    for (uid_t uid : users)
        keep_fewest_interrupted(uid);
}

void BulkJobs::keep_fewest_interrupted(uid_t uid)
{
    std::vector<std::int32_t> live;
    {
        std::lock_guard lock(mutex_);
        for (const auto *handles : {&jobs_, &draining_})
            for (const auto &entry : *handles)
                live.push_back(entry.first);
    }
    std::vector<std::int32_t> surplus;
    db_.read([&] {
        SQLite::Statement rows(db_.sql(), "SELECT handle FROM bulk_jobs WHERE uid = ? AND state IN (1, 2) "
                                          "ORDER BY updated DESC, handle DESC");
        rows.bind(1, std::int64_t(uid));
        std::size_t kept = 0;
        while (rows.executeStep()) {
            const std::int32_t handle = rows.getColumn(0).getInt();
            if (std::find(live.begin(), live.end(), handle) != live.end())
                continue; // a job with a client: not interrupted
            if (++kept > limits::per_user::kInterruptedJobs)
                surplus.push_back(handle);
        }
    });
    delete_rows(surplus);
}

void BulkJobs::forget(const std::shared_ptr<BulkJob> &job, bool keep_if_unfinished, std::vector<std::int32_t> &rows)
{
    job->closed = true;
    jobs_.erase(job->handle);
    if (job->queued)
        draining_.emplace(job->handle, job); // until its chunk in flight ends
    const bool unfinished = job->state == kJobRunning || job->state == kJobStopped;
    if (!(keep_if_unfinished && unfinished))
        rows.push_back(job->handle); // else its row stays: adoptable
}

// On a worker: the writer may be held by a long change, and the bus thread
// (close, a client leaving) must not wait for it.  Until they are gone the
// rows count as gone (adopt refuses them).
void BulkJobs::delete_rows(const std::vector<std::int32_t> &handles)
{
    if (handles.empty())
        return;
    {
        std::lock_guard lock(mutex_);
        leaving_.insert(handles.begin(), handles.end());
    }
    workers_.run([this, handles] {
        db_.change([&] {
            SQLite::Statement remove(db_.sql(), "DELETE FROM bulk_jobs WHERE handle = ?");
            for (std::int32_t handle : handles) {
                remove.reset();
                remove.bind(1, handle);
                remove.exec();
            }
        });
        std::lock_guard lock(mutex_);
        for (std::int32_t handle : handles)
            leaving_.erase(handle);
    });
}

std::int32_t BulkJobs::adopt(std::int32_t handle)
{
    {
        std::lock_guard lock(mutex_);
        if (jobs_.count(handle) != 0)
            fail(kBulkWrongState, "bulk job " + std::to_string(handle) + " still has its client");
        if (draining_.count(handle) != 0)
            fail(kBulkWrongState, "bulk job " + std::to_string(handle) + " is finishing its chunk; try again");
        if (leaving_.count(handle) != 0)
            fail(kBulkNoJob, "no interrupted bulk job " + std::to_string(handle));
    }
    auto job = std::make_shared<BulkJob>();
    std::int64_t uid = -1;
    const bool found = db_.read([&] {
        SQLite::Statement row(db_.sql(), "SELECT kind, source, target, uid, source_path, target_path, thumbs, offset, "
                                         "position, target_length, done, failed, total, last_error, skipped_properties "
                                         "FROM bulk_jobs "
                                         "WHERE handle = ? AND state IN (1, 2)");
        row.bind(1, handle);
        if (!row.executeStep())
            return false;
        job->kind = row.getColumn(0).getInt();
        if (job->kind != kBulkImport)
            job->source = contact_storage(row.getColumn(1).getInt());
        if (job->kind == kBulkImport || job->kind == kBulkCopy || job->kind == kBulkMove)
            job->target = contact_storage(row.getColumn(2).getInt());
        uid = row.getColumn(3).getInt64();
        job->source_path = row.getColumn(4).getString();
        job->target_path = row.getColumn(5).getString();
        job->thumbs = thumbs_of(row.getColumn(6).getBlob(), std::size_t(row.getColumn(6).getBytes()));
        job->offset = std::uint64_t(row.getColumn(7).getInt64());
        job->position = std::size_t(row.getColumn(8).getInt64());
        job->target_length = row.getColumn(9).getInt64();
        job->done = row.getColumn(10).getInt();
        job->failed = row.getColumn(11).getInt();
        job->total = row.getColumn(12).getInt();
        job->last_error = row.getColumn(13).getInt();
        job->skipped_properties = row.getColumn(14).getInt();
        return true;
    });
    if (!found)
        fail(kBulkNoJob, "no interrupted bulk job " + std::to_string(handle));
    job->who = current_caller_identity();
    if (std::int64_t(job->who.uid) != uid)
        fail(kBulkNotOwner, "bulk job " + std::to_string(handle) + " was another user's");
    job->counted = quotas_.take(job->who.uid, Quota::BulkJobs);
    job->thumbs_held = quotas_.take(job->who.uid, Quota::Thumbs, job->thumbs.size());
    if (job->kind == kBulkImport || job->kind == kBulkExport)
        job->file_held = quotas_.take(job->who.uid, Quota::OpenFiles);
    if (job->kind == kBulkImport) {
        job->source_file = open_as_caller(job->who, job->source_path, kBulkFileRefused);
        struct stat status {};
        fstat(job->source_file.get(), &status);
        job->source_size = status.st_size;
    }
    if (job->kind == kBulkExport)
        job->target_file = reopen_own_file(job->who, job->target_path, off_t(job->target_length), kBulkFileError);
    job->handle = handle;
    job->owner = current_caller();
    job->state = kJobStopped;
    std::lock_guard lock(mutex_);
    if (jobs_.count(handle) != 0 || draining_.count(handle) != 0)
        fail(kBulkWrongState, "bulk job " + std::to_string(handle) + " was taken over already");
    jobs_.emplace(handle, job);
    return job->state;
}

// ---- running -------------------------------------------------------------------

void BulkJobs::schedule(const std::shared_ptr<BulkJob> &job)
{
    if (job->queued)
        return;
    job->queued = true;
    workers_.run([this, job] { run_chunk(job); });
}

void BulkJobs::run_chunk(const std::shared_ptr<BulkJob> &job)
{
    // Unless a next chunk of the job is queued, an import's chunk being read
    // is waited for: no thread of the job outlives its turn on the worker.
    struct Settle {
        BulkJob &job;
        bool queued = false;
        ~Settle()
        {
            if (!queued && job.next_chunk.valid())
                job.next_chunk.wait();
        }
    } settle{*job};
    {
        std::lock_guard lock(mutex_);
        if (job->closed) {
            job->queued = false;
            draining_.erase(job->handle);
            return;
        }
        if (job->stop_requested || workers_.stopping()) {
            job->queued = false;
            job->stop_requested = false;
            job->state = kJobStopped;
            return;
        }
    }
    bool finished = false;
    ErrorCode failure = kOk;
    try {
        switch (job->kind) {
        case kBulkImport: finished = import_chunk(*job); break;
        case kBulkExport: finished = export_chunk(*job); break;
        case kBulkCopy:
        case kBulkMove: finished = copy_chunk(*job); break;
        case kBulkDelete: finished = delete_chunk(*job); break;
        }
    } catch (const ServiceError &error) {
        failure = error.code;
        std::cerr << "contact-engine-service: bulk job " << job->handle << ": " << error.reason << std::endl;
    } catch (const SQLite::Exception &error) {
        failure = kDatabaseError;
        std::cerr << "contact-engine-service: bulk job " << job->handle << ": " << error.what() << std::endl;
    } catch (const std::exception &error) {
        failure = kInternalError;
        std::cerr << "contact-engine-service: bulk job " << job->handle << ": " << error.what() << std::endl;
    }
    if ((failure != kOk || finished) && job->next_chunk.valid())
        job->next_chunk.wait(); // before the reader and the file go, outside the lock
    std::unique_lock lock(mutex_);
    job->queued = false;
    if (job->closed)
        draining_.erase(job->handle);
    if (failure != kOk || finished) {
        job->state = failure != kOk ? kJobFailed : kJobDone;
        if (failure != kOk)
            job->last_error = failure;
        if (job->kind == kBulkImport && finished)
            job->total = job->done + job->failed;
        job->next_chunk = {};
        job->source_file = FileHandle();
        job->target_file = FileHandle();
        job->file_held.release();
        lock.unlock();
        save_state(*job); // a closed job's row is gone: nothing to update
        return;
    }
    if (job->closed)
        return;
    if (job->stop_requested || workers_.stopping()) {
        job->stop_requested = false;
        job->state = kJobStopped;
        return;
    }
    settle.queued = true;
    schedule(job);
}

namespace {

// Makes the chunk's search keys (collation, name folding, phone-number
// parsing: most of an import's work outside SQLite) on this thread and one
// more, before the writer is taken.
void make_keys(const ContactStore &contacts, std::vector<ChunkCard> &cards)
{
    on_two_threads(cards.size(), [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            if (cards[i].record)
                cards[i].keys = contacts.keys_of(*cards[i].record);
    });
}

} // namespace

namespace {

// Reads the next chunk of cards and makes their keys: the part of an
// import that needs no writer.
// Reads the chunk that starts at `window_start`: at most kBulkChunk cards
// from a window of at most kBulkChunkBytes of the file, so a file with no
// card in it (garbage, a sparse file of zeros) still ends its chunk soon:
// the job takes its turns with the others, and a stop or close takes
// effect.  Then makes the cards' keys.
ReadChunk read_chunk(int fd, std::uint64_t window_start, const ContactStore &contacts)
{
    const std::uint64_t window_end = window_start + limits::kBulkChunkBytes;
    VCardReader reader = VCardReader::from_descriptor(fd, window_start, window_end);
    ReadChunk chunk;
    chunk.cards.reserve(limits::kBulkChunk);
    std::optional<std::uint64_t> resume; // where the next chunk starts, when not where the reader stopped
    while (chunk.cards.size() < std::size_t(limits::kBulkChunk)) {
        const std::uint64_t before = reader.offset();
        try {
            std::optional<ImportedContact> contact = reader.next_contact();
            if (contact) {
                chunk.cards.push_back({std::move(contact->record), reader.offset(), kOk, contact->dropped_properties});
                continue;
            }
            chunk.at_end = reader.offset() < window_end; // the file ended inside the window
            if (!chunk.at_end)
                resume = before > window_start ? before : line_start_before(fd, window_end);
            break;
        } catch (const ServiceError &error) {
            if (reader.offset() == before)
                throw; // the input itself failed (read error): the job cannot go on
            if (reader.offset() < window_end) {
                chunk.cards.push_back({std::nullopt, reader.offset(), error.code});
                continue;
            }
            // The card ran into the window's end: the next chunk reads it
            // again from its start, unless it alone is longer than a window.
            if (before > window_start) {
                resume = before;
            } else {
                resume = line_start_before(fd, window_end);
                chunk.cards.push_back({std::nullopt, *resume, kVCardTooLarge});
            }
            break;
        }
    }
    chunk.end_offset = resume.value_or(reader.offset());
    make_keys(contacts, chunk.cards);
    return chunk;
}

} // namespace

namespace {

// The target's free indexes that a chunk stores into, handed out in order.
struct FreeSlots {
    std::vector<int> free;
    std::size_t used = 0;
    bool full() const { return used == free.size(); }
    int take() { return free[used++]; }
    // Where the job's next chunk looks for free indexes.
    void advance(BulkJob &job) const
    {
        if (used > 0)
            job.next_free = free[used - 1] + 1;
    }
};

} // namespace

bool BulkJobs::import_chunk(BulkJob &job)
{
    // This chunk was read while the one before was stored (or is read now);
    // the next one is read while this one is stored: the writer is held
    // only for the inserts, and both cores work.
    ReadChunk chunk = job.next_chunk.valid() ? job.next_chunk.get()
                                             : read_chunk(job.source_file.get(), job.offset, contacts_);
    if (!chunk.at_end)
        job.next_chunk = std::async(std::launch::async, read_chunk, job.source_file.get(), chunk.end_offset,
                                    std::cref(contacts_));
    std::vector<ChunkCard> &cards = chunk.cards;
    const bool at_end = chunk.at_end;
    const std::uint64_t chunk_end = chunk.end_offset;
    const std::size_t wanted = std::size_t(std::count_if(cards.begin(), cards.end(), [](const ChunkCard &c) { return c.record.has_value(); }));

    bool full = false;
    db_.change([&] {
        FreeSlots slots{contacts_.free_indices(job.target.table, job.target.capacity, job.next_free, wanted)};
        ChunkTally tally;
        std::uint64_t offset = chunk_end;
        for (ChunkCard &card : cards) {
            if (!card.record) {
                tally.skip(card.error);
                continue;
            }
            if (slots.full()) {
                full = true;
                offset = (&card == cards.data()) ? job.offset : (&card - 1)->end_offset;
                break;
            }
            const int index = slots.take();
            card.record->set_address(job.target.table, index);
            contacts_.store(job.target.table, index, *card.record, card.keys);
            ++tally.done;
            tally.skipped_properties += int(card.dropped_properties);
        }
        if (tally.done > 0)
            db_.notify(Signal::CopySomeContacts, {job.target.table});
        commit_chunk(job, tally, [&] {
            job.offset = offset;
            slots.advance(job);
        });
    });
    if (full)
        fail(kStorageFull, "storage " + std::to_string(job.target.type) + " is full");
    return at_end;
}

bool BulkJobs::export_chunk(BulkJob &job)
{
    const std::size_t end = std::min(job.thumbs.size(), job.position + std::size_t(limits::kBulkChunk));
    std::string text;
    ChunkTally tally;
    db_.read([&] {
        for (std::size_t i = job.position; i < end; ++i) {
            std::optional<Record> record = contacts_.load(job.source.table, job.thumbs[i]);
            if (!record) {
                tally.skip(kNoContact);
                continue;
            }
            append_vcard(text, *record, vcard_version_for(kVCardParamDefault));
            ++tally.done;
        }
    });
    for (std::size_t written = 0; written < text.size();) {
        const ssize_t n = ::write(job.target_file.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(kBulkFileError, "cannot write \"" + job.target_path + "\": " + std::strerror(errno));
        written += std::size_t(n);
    }
    db_.change([&] {
        commit_chunk(job, tally, [&] {
            job.position = end;
            job.target_length += std::int64_t(text.size());
        });
    });
    return end == job.thumbs.size();
}

bool BulkJobs::copy_chunk(BulkJob &job)
{
    const std::size_t end = std::min(job.thumbs.size(), job.position + std::size_t(limits::kBulkChunk));
    bool full = false;
    db_.change([&] {
        FreeSlots slots{contacts_.free_indices(job.target.table, job.target.capacity, job.next_free, end - job.position)};
        ChunkTally tally;
        std::size_t position = job.position;
        for (; position < end; ++position) {
            const int index = job.thumbs[position];
            std::optional<Record> record = contacts_.load(job.source.table, index);
            if (!record) {
                tally.skip(kNoContact);
                continue;
            }
            if (slots.full()) {
                full = true;
                break;
            }
            const int target = slots.take();
            record->set_address(job.target.table, target);
            contacts_.store(job.target.table, target, *record);
            if (job.kind == kBulkMove)
                contacts_.remove(job.source.table, index);
            ++tally.done;
        }
        if (tally.done > 0 && job.kind == kBulkMove) {
            db_.notify(Signal::MoveSomeContacts, {job.source.table});
            db_.notify(Signal::MoveSomeContacts, {job.target.table});
        } else if (tally.done > 0) {
            db_.notify(Signal::CopySomeContacts, {job.target.table});
        }
        commit_chunk(job, tally, [&] {
            job.position = position;
            slots.advance(job);
        });
    });
    if (full)
        fail(kStorageFull, "storage " + std::to_string(job.target.type) + " is full");
    return end == job.thumbs.size();
}

bool BulkJobs::delete_chunk(BulkJob &job)
{
    const std::size_t end = std::min(job.thumbs.size(), job.position + std::size_t(limits::kBulkChunk));
    db_.change([&] {
        ChunkTally tally;
        for (std::size_t i = job.position; i < end; ++i) {
            if (contacts_.remove(job.source.table, job.thumbs[i]))
                ++tally.done;
            else
                tally.skip(kNoContact);
        }
        if (tally.done > 0)
            db_.notify(Signal::DeleteSomeContacts, {job.source.table});
        commit_chunk(job, tally, [&] { job.position = end; });
    });
    return end == job.thumbs.size();
}

// Adds a chunk's tally to its job and, with `advance`, moves the job past
// the chunk; then writes the job's progress, all inside the chunk's change().
void BulkJobs::commit_chunk(BulkJob &job, const ChunkTally &tally, const std::function<void()> &advance)
{
    std::lock_guard lock(mutex_);
    job.done += tally.done;
    job.failed += tally.failed;
    job.skipped_properties += tally.skipped_properties;
    if (tally.last_error != 0)
        job.last_error = tally.last_error;
    advance();
    save_progress(job);
}

// ---- persistence ----------------------------------------------------------------

void BulkJobs::insert_row(const BulkJob &job, int state)
{
    db_.change([&] {
        SQLite::Statement insert(db_.sql(),
                                 "INSERT OR REPLACE INTO bulk_jobs (handle, kind, source, target, uid, source_path, "
                                 "target_path, thumbs, offset, position, target_length, done, failed, total, last_error, "
                                 "state, updated, skipped_properties) "
                                 "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        const Bytes thumbs = thumbs_blob(job.thumbs);
        insert.bind(1, job.handle);
        insert.bind(2, job.kind);
        insert.bind(3, job.source.type);
        insert.bind(4, job.target.type);
        insert.bind(5, std::int64_t(job.who.uid));
        insert.bind(6, job.source_path);
        insert.bind(7, job.target_path);
        static const std::uint8_t kNone = 0; // an empty blob, not NULL
        insert.bind(8, thumbs.empty() ? &kNone : thumbs.data(), int(thumbs.size()));
        insert.bind(9, std::int64_t(job.offset));
        insert.bind(10, std::int64_t(job.position));
        insert.bind(11, job.target_length);
        insert.bind(12, job.done);
        insert.bind(13, job.failed);
        insert.bind(14, job.total);
        insert.bind(15, job.last_error);
        insert.bind(16, state);
        insert.bind(17, now());
        insert.bind(18, job.skipped_properties);
        insert.exec();
    });
}

void BulkJobs::save_progress(const BulkJob &job)
{
    SQLite::Statement update(db_.sql(), "UPDATE bulk_jobs SET offset = ?, position = ?, target_length = ?, done = ?, "
                                        "failed = ?, last_error = ?, updated = ?, skipped_properties = ? "
                                        "WHERE handle = ?");
    update.bind(1, std::int64_t(job.offset));
    update.bind(2, std::int64_t(job.position));
    update.bind(3, job.target_length);
    update.bind(4, job.done);
    update.bind(5, job.failed);
    update.bind(6, job.last_error);
    update.bind(7, now());
    update.bind(8, job.skipped_properties);
    update.bind(9, job.handle);
    update.exec();
}

void BulkJobs::save_state(const BulkJob &job)
{
    db_.change([&] {
        SQLite::Statement update(db_.sql(), "UPDATE bulk_jobs SET state = ?, total = ?, last_error = ?, updated = ? "
                                            "WHERE handle = ?");
        update.bind(1, job.state);
        update.bind(2, job.total);
        update.bind(3, job.last_error);
        update.bind(4, now());
        update.bind(5, job.handle);
        update.exec();
    });
}

} // namespace contact_engine
