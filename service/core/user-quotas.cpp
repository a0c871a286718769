#include "core/user-quotas.h"

#include <algorithm>
#include <string>

#include "core/service-error.h"

namespace contact_engine {

const QuotaRule &quota_rule(Quota quota)
{
    for (const QuotaRule &rule : kQuotaRules)
        if (rule.quota == quota)
            return rule;
    return kQuotaRules[0]; // every Quota has its row (one per enumerator)
}

UserQuotas::Hold &UserQuotas::Hold::operator=(Hold &&other) noexcept
{
    if (this != &other) {
        release();
        owner_ = std::exchange(other.owner_, nullptr);
        uid_ = other.uid_;
        quota_ = other.quota_;
        amount_ = std::exchange(other.amount_, 0);
    }
    return *this;
}

void UserQuotas::Hold::grow(std::size_t amount)
{
    if (owner_ == nullptr)
        return; // an empty hold counts nothing
    owner_->add(uid_, quota_, amount);
    amount_ += amount;
}

void UserQuotas::Hold::release()
{
    if (owner_ != nullptr && amount_ > 0)
        owner_->give_back(uid_, quota_, amount_);
    amount_ = 0;
}

UserQuotas::Hold UserQuotas::take(uid_t uid, Quota quota, std::size_t amount)
{
    Hold hold(this, uid, quota);
    hold.grow(amount);
    return hold;
}

std::size_t UserQuotas::in_use(uid_t uid, Quota quota)
{
    std::lock_guard lock(mutex_);
    const auto found = used_.find({uid, quota});
    return found == used_.end() ? 0 : found->second;
}

void UserQuotas::add(uid_t uid, Quota quota, std::size_t amount)
{
    const QuotaRule &rule = quota_rule(quota);
    std::lock_guard lock(mutex_);
    std::size_t &used = used_[{uid, quota}];
    if (amount > rule.limit || used > rule.limit - amount)
        fail(rule.refusal, "user " + std::to_string(uid) + " may hold " + std::to_string(rule.limit) + " " +
                               rule.what + " (" + std::to_string(used) + " held, " + std::to_string(amount) +
                               " more asked for)");
    used += amount;
}

void UserQuotas::give_back(uid_t uid, Quota quota, std::size_t amount) noexcept
{
    std::lock_guard lock(mutex_);
    const auto found = used_.find({uid, quota});
    if (found == used_.end())
        return;
    found->second -= std::min(found->second, amount);
    if (found->second == 0)
        used_.erase(found);
}

} // namespace contact_engine
