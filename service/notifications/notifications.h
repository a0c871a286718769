// Change notifications inside the service: what a change queues, how the
// notifications of one transaction are folded, and where they go once it has
// committed.
//
// A family's change says what it changed with Database::notify() inside
// Database::change(); the database keeps the notifications of the running
// transaction, drops them when it rolls back, and after the outermost commit
// folds them (fold() below) and posts them to its Outbox, the one emitter
// (signal-emitter.cpp), which sends them as D-Bus signals in commit order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "contact-engine-signals.h"

namespace contact_engine {

using contact_signals::Signal;

struct Notification {
    Signal signal;
    std::array<std::int32_t, 4> args{}; // the first arity(signal) are sent
    bool operator==(const Notification &) const = default;
};

// No storms: a transaction that changes many rows at once sends one signal
// for them.  Notifications of one kind whose arguments differ only in the
// row's index (for the table kinds: the same operation and storage) are
// counted per transaction; more than the rule's limit of them become one
// signal, sent where the first of them stood:
//
//   contact main table, delete      -> delete some contacts (storage)
//   contact main table, add         -> copy some contacts (storage)
//   contact main table, update      -> contact table (update, storage, index 0)
//   contact table                   -> contact table (update, storage, index 0)
//   group table, delete             -> delete some groups (storage)
//   group table, add or update      -> group table (operation, storage, index 0)
//   speed-dial table                -> speed-dial table (operation, index 0)
//   SIM error                       -> SIM error (storage, index 0, access mode, error)
//   add group member (more than 1)  -> add some group members (storage, group)
//   delete group member (more than 1) -> delete some group members (storage, group)
//
// Index 0 names no row (indexes are 1-based): "several rows; read them
// again".  Everything else is sent as it came, in order.
std::vector<Notification> fold(const std::vector<Notification> &notifications);

// Where committed notifications go.  post() is called with the database's
// write lock held, so batches arrive in commit order; flush() is called
// after the lock is released and sends what was posted.  Neither throws.
class Outbox {
public:
    virtual ~Outbox() = default;
    virtual void post(std::vector<Notification> batch) noexcept = 0;
    virtual void flush() noexcept = 0;
};

} // namespace contact_engine
