#include "notifications/notifications.h"

#include <algorithm>
#include <map>
#include <optional>

#include "core/service-limits.h"

namespace contact_engine {

namespace {

using contact_signals::describe;
using contact_signals::kNoRow;
using namespace contact_signals;

constexpr int kAnyOperation = -1;

struct FoldRule {
    Signal from;
    int operation; // element 0 of a table kind, or kAnyOperation
    Signal into;
    std::size_t above; // more than this many in one transaction fold
};

constexpr std::size_t kRows = limits::kNotificationsBeforeFolding;

// clang-format off
constexpr FoldRule kFoldRules[] = {
    {Signal::ContactMainTable,  kDelete,       Signal::DeleteSomeContacts,     kRows},
    {Signal::ContactMainTable,  kAdd,          Signal::CopySomeContacts,       kRows},
    {Signal::ContactMainTable,  kUpdate,       Signal::ContactTable,           kRows},
    {Signal::ContactTable,      kAnyOperation, Signal::ContactTable,           kRows},
    {Signal::GroupTable,        kDelete,       Signal::DeleteSomeGroups,       kRows},
    {Signal::GroupTable,        kAnyOperation, Signal::GroupTable,             kRows},
    {Signal::SpeedDialTable,    kAnyOperation, Signal::SpeedDialTable,         kRows},
    {Signal::SimError,          kAnyOperation, Signal::SimError,               kRows},
    {Signal::AddGroupMember,    kAnyOperation, Signal::AddSomeGroupMembers,    1},
    {Signal::DeleteGroupMember, kAnyOperation, Signal::DeleteSomeGroupMembers, 1},
};
// clang-format on

bool is_table(Signal signal)
{
    return std::string_view(describe(signal).args[0]) == "operation";
}

const FoldRule *rule_for(const Notification &notification)
{
    for (const FoldRule &rule : kFoldRules)
        if (rule.from == notification.signal &&
            (rule.operation == kAnyOperation || (is_table(rule.from) && rule.operation == notification.args[0])))
            return &rule;
    return nullptr;
}

// The group a notification is counted in: its kind and arguments without
// the row's index.
Notification group_of(const Notification &notification)
{
    Notification group = notification;
    if (const int row = describe(notification.signal).row_position; row >= 0)
        group.args[std::size_t(row)] = kNoRow;
    return group;
}

struct GroupKey {
    Notification group;
    bool operator<(const GroupKey &other) const
    {
        if (group.signal != other.group.signal)
            return group.signal < other.group.signal;
        return group.args < other.group.args;
    }
};

// The one signal that stands for a group: its arguments taken by name from
// the group's (so a storage stays a storage, a group's index its index), the
// row's index 0.
Notification folded(const Notification &group, Signal into)
{
    const Description &from = describe(group.signal);
    const Description &to = describe(into);
    Notification result{into, {}};
    for (std::size_t i = 0; i < to.arity; ++i)
        for (std::size_t j = 0; j < from.arity; ++j)
            if (std::string_view(to.args[i]) == from.args[j])
                result.args[i] = group.args[j];
    if (to.row_position >= 0)
        result.args[std::size_t(to.row_position)] = kNoRow;
    if (is_table(into) && !is_table(group.signal))
        result.args[0] = kUpdate;
    return result;
}

} // namespace

std::vector<Notification> fold(const std::vector<Notification> &notifications)
{
    std::map<GroupKey, std::size_t> counts;
    for (const Notification &notification : notifications)
        if (rule_for(notification))
            ++counts[{group_of(notification)}];

    std::vector<Notification> sent;
    std::map<GroupKey, bool> announced;
    for (const Notification &notification : notifications) {
        const FoldRule *rule = rule_for(notification);
        if (rule == nullptr) {
            sent.push_back(notification);
            continue;
        }
        const GroupKey key{group_of(notification)};
        if (counts[key] <= rule->above) {
            sent.push_back(notification);
            continue;
        }
        if (!announced[key]) {
            announced[key] = true;
            sent.push_back(folded(key.group, rule->into));
        }
    }
    return sent;
}

} // namespace contact_engine
