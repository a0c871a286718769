// Who calls: the uid (and groups) the bus daemon reports for the sender's
// unique name, asked once per name and forgotten when the name leaves.
#include <grp.h>
#include <pwd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "core/caller-files.h"
#include "core/client-watch.h"
#include "core/method-registry.h"
#include "core/service-error.h"

namespace contact_engine {

namespace {

std::atomic<BusCallers *> g_bus_callers{nullptr};

// A user's primary group and its groups in the user database; gid -1 and
// no groups for a uid the database does not know.
void groups_from_user_database(CallerIdentity &who)
{
    struct passwd entry {};
    struct passwd *found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(who.uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        who.gid = gid_t(-1);
        return;
    }
    who.gid = found->pw_gid;
    int count = 64;
    who.groups.resize(std::size_t(count));
    while (getgrouplist(found->pw_name, found->pw_gid, who.groups.data(), &count) < 0 && count > 0 &&
           std::size_t(count) > who.groups.size())
        who.groups.resize(std::size_t(count));
    who.groups.resize(std::size_t(std::max(count, 0)));
}

// The primary group among the groups the bus reported: the user database's
// when the client still holds it, else the first one reported.
gid_t primary_group(uid_t uid, const std::vector<gid_t> &reported)
{
    CallerIdentity from_database{uid, gid_t(-1), {}};
    groups_from_user_database(from_database);
    if (std::find(reported.begin(), reported.end(), from_database.gid) != reported.end())
        return from_database.gid;
    return reported.empty() ? gid_t(-1) : reported.front();
}

} // namespace

BusCallers::BusCallers(ClientWatch &clients)
    : connection_(sdbus::createSystemBusConnection()),
      daemon_(sdbus::createProxy(*connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus"))
{
    daemon_->finishRegistration();
    clients.on_client_vanished([this](const std::string &name) {
        std::lock_guard lock(mutex_);
        known_.erase(name);
    });
    g_bus_callers = this;
}

BusCallers::~BusCallers()
{
    g_bus_callers = nullptr;
}

CallerIdentity BusCallers::identity_of(const std::string &unique_name)
{
    std::lock_guard lock(mutex_);
    const auto known = known_.find(unique_name);
    if (known != known_.end())
        return known->second;
    CallerIdentity who = ask_daemon(unique_name);
    known_.emplace(unique_name, who);
    return who;
}

// The daemon took the uid, and the groups where it reports them
// (UnixGroupIDs, from SO_PEERGROUPS), from the client's socket when it
// connected.
CallerIdentity BusCallers::ask_daemon(const std::string &unique_name)
{
    std::map<std::string, sdbus::Variant> credentials;
    try {
        daemon_->callMethod("GetConnectionCredentials")
            .onInterface("org.freedesktop.DBus")
            .withArguments(unique_name)
            .storeResultsTo(credentials);
    } catch (const sdbus::Error &error) {
        fail(kBulkFileRefused, "the bus did not tell who " + unique_name + " is: " + error.getMessage());
    }
    const auto uid = credentials.find("UnixUserID");
    if (uid == credentials.end())
        fail(kBulkFileRefused, "the bus did not tell the user of " + unique_name);
    CallerIdentity who;
    who.uid = uid_t(uid->second.get<std::uint32_t>());
    const auto groups = credentials.find("UnixGroupIDs");
    if (groups != credentials.end()) {
        for (std::uint32_t gid : groups->second.get<std::vector<std::uint32_t>>())
            who.groups.push_back(gid_t(gid));
        who.gid = primary_group(who.uid, who.groups);
    } else {
        groups_from_user_database(who);
    }
    return who;
}

CallerIdentity current_caller_identity()
{
    // A long call runs on a worker: the bus thread learnt who called.
    if (const CallerIdentity *known = current_call_identity())
        return *known;
    const std::string &caller = current_caller();
    if (caller.empty())
        fail(kBulkFileRefused, "the caller's identity is unknown outside a call");
    BusCallers *callers = g_bus_callers;
    if (callers == nullptr)
        fail(kBulkFileRefused, "the service does not ask the bus who calls");
    return callers->identity_of(caller);
}

} // namespace contact_engine
