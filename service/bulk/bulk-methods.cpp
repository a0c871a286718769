// Bulk jobs: the ten fixed methods of org.yora.contact, and the service's
// own interface com.quorvel.contact.engine.Bulk for what those cannot
// carry (the file an import reads, the file an export wrote, taking over
// an interrupted job).
#include <chrono>
#include <filesystem>
#include <tuple>

#include "bulk/bulk-jobs.h"
#include "core/caller-files.h"
#include "core/method-registry.h"
#include "core/service-limits.h"
#include "core/service-options.h"

namespace contact_engine {

namespace {

inline constexpr const char *kBulkInterface = "com.quorvel.contact.engine.Bulk";

std::int32_t open(BulkJobs &jobs, std::int32_t open_param1, std::int32_t open_param2)
{
    return jobs.open(open_param1, open_param2);
}

std::int32_t exec(BulkJobs &jobs, std::int32_t handle)
{
    return jobs.exec(handle);
}

void close(BulkJobs &jobs, std::int32_t handle)
{
    jobs.close(handle);
}

void set_thumb(BulkJobs &jobs, std::int32_t handle, Bytes thumbs, std::int32_t count)
{
    jobs.set_thumbs(handle, thumbs, count);
}

Bytes get_info(BulkJobs &jobs, std::int32_t handle)
{
    return jobs.info(handle);
}

void resume(BulkJobs &jobs, std::int32_t handle)
{
    jobs.resume(handle);
}

void stop(BulkJobs &jobs, std::int32_t handle)
{
    jobs.stop(handle);
}

void stop_all(BulkJobs &jobs)
{
    jobs.stop_all();
}

void close_all(BulkJobs &jobs)
{
    jobs.close_all();
}

Answer is_bulk_operation_check(BulkJobs &jobs)
{
    return {jobs.any_running() ? 1 : 0, kOk};
}

void set_source(BulkJobs &jobs, std::int32_t handle, std::string path)
{
    jobs.set_source(handle, path);
}

std::string target_file(BulkJobs &jobs, std::int32_t handle)
{
    return jobs.target_file(handle);
}

std::int32_t adopt(BulkJobs &jobs, std::int32_t handle)
{
    return jobs.adopt(handle);
}

std::int32_t skipped_properties(BulkJobs &jobs, std::int32_t handle)
{
    return jobs.skipped_properties(handle);
}

std::string export_directory(const ServiceOptions &options)
{
    if (!options.export_directory.empty())
        return options.export_directory;
    const std::filesystem::path database(options.database_path);
    return (database.parent_path().empty() ? std::filesystem::path(".") : database.parent_path()) / "exports";
}

} // namespace

void register_bulk_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    ContactStore &contacts = contact_store(registry, database, options);
    auto &jobs = registry.own<BulkJobs>(database, contacts, registry.workers(), registry.quotas(),
                                        export_directory(options));
    add_export_directory(export_directory(options), std::chrono::seconds(limits::kExportLifetimeSeconds));
    registry.on_client_vanished([&jobs](const std::string &name) { jobs.client_vanished(name); });

    registry.add("contact_bulk_operation_open", open, jobs, In{"open_param1", "open_param2"}, Out{"bulk_op_handle"})
        .add_long("contact_bulk_operation_exec", exec, jobs, In{"bulk_op_handle"}, Out{"operation_state"})
        .add("contact_bulk_operation_close", close, jobs, In{"bulk_op_handle"}, Out{})
        .add("contact_bulk_operation_set_thumb", set_thumb, jobs, In{"bulk_op_handle", "thumb_record", "count"}, Out{})
        .add("contact_bulk_operation_get_info", get_info, jobs, In{"bulk_op_handle"}, Out{"operation_status"})
        .add("contact_bulk_operation_resume", resume, jobs, In{"bulk_op_handle"}, Out{})
        .add("contact_bulk_operation_stop", stop, jobs, In{"bulk_op_handle"}, Out{})
        .add("contact_bulk_operation_stop_all", stop_all, jobs, In{}, Out{})
        .add("contact_bulk_operation_close_all", close_all, jobs, In{}, Out{})
        .add("contact_is_bulk_operation_check", is_bulk_operation_check, jobs, In{}, Out{"is_bulk_operation", "error_code"});

    registry.add_long_to(kBulkInterface, "set_source", set_source, jobs, In{"bulk_op_handle", "path"}, Out{})
        .add_to(kBulkInterface, "target_file", target_file, jobs, In{"bulk_op_handle"}, Out{"path"})
        .add_long_to(kBulkInterface, "adopt", adopt, jobs, In{"bulk_op_handle"}, Out{"operation_state"})
        .add_to(kBulkInterface, "skipped_properties", skipped_properties, jobs, In{"bulk_op_handle"}, Out{"count"});
}

} // namespace contact_engine
