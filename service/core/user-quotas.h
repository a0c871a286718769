// What each user (uid) holds in the service, counted over all its bus
// connections: a user can open many connections, so limits per connection
// would let one user take everything.  A Hold is one user's share of one
// kind of resource, kept inside the object it counts (a result set, a bulk
// job, a call waiting for a worker) and given back when that object goes.
// Root is counted like every other user.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <map>
#include <mutex>
#include <utility>

#include "core/contact-engine-errors.h"
#include "core/service-limits.h"

namespace contact_engine {

enum class Quota { ResultSets, ResultSetContacts, BulkJobs, Thumbs, OpenFiles, LongCalls };

struct QuotaRule {
    Quota quota;
    std::size_t limit;
    ErrorCode refusal;
    const char *what; // "open result sets": how a refusal names it
};

// The one table of per-user limits.
inline constexpr std::array kQuotaRules{
    QuotaRule{Quota::ResultSets, limits::kMaxResultSetsPerUser, kTooManyResultSets, "open result sets"},
    QuotaRule{Quota::ResultSetContacts, limits::kMaxResultSetContactsPerUser, kTooManyResultSets,
              "contacts kept in result sets"},
    QuotaRule{Quota::BulkJobs, limits::per_user::kBulkJobs, kTooManyBulkJobs, "open bulk jobs"},
    QuotaRule{Quota::Thumbs, limits::per_user::kThumbs, kTooManyThumbs, "thumb indexes in open bulk jobs"},
    QuotaRule{Quota::OpenFiles, limits::per_user::kOpenFiles, kTooManyOpenFiles, "files held open by the service"},
    QuotaRule{Quota::LongCalls, limits::per_user::kLongCalls, kTooManyLongCalls,
              "long calls waiting or running on the workers"},
};

class UserQuotas {
public:
    UserQuotas() = default;
    UserQuotas(const UserQuotas &) = delete;
    UserQuotas &operator=(const UserQuotas &) = delete;

    // One user's share of one quota; given back when it goes.  Move-only.
    class Hold {
    public:
        Hold() = default;
        Hold(Hold &&other) noexcept { *this = std::move(other); }
        Hold &operator=(Hold &&other) noexcept;
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
        ~Hold() { release(); }

        // Takes `amount` more; throws ServiceError with the quota's code, and
        // keeps what it held, when the user would go past the limit.
        void grow(std::size_t amount);
        void release();
        std::size_t amount() const { return amount_; }

    private:
        friend class UserQuotas;
        Hold(UserQuotas *owner, uid_t uid, Quota quota) : owner_(owner), uid_(uid), quota_(quota) {}
        UserQuotas *owner_ = nullptr;
        uid_t uid_ = 0;
        Quota quota_ = Quota::ResultSets;
        std::size_t amount_ = 0;
    };

    // Takes `amount` of `quota` for `uid`; throws ServiceError with the
    // quota's code when the user would go past its limit.
    Hold take(uid_t uid, Quota quota, std::size_t amount = 1);
    // What `uid` holds of `quota` now.
    std::size_t in_use(uid_t uid, Quota quota);

private:
    void add(uid_t uid, Quota quota, std::size_t amount); // throws past the limit
    void give_back(uid_t uid, Quota quota, std::size_t amount) noexcept;

    std::mutex mutex_;
    std::map<std::pair<uid_t, Quota>, std::size_t> used_;
};

const QuotaRule &quota_rule(Quota quota);

} // namespace contact_engine
