// Workers: long work (loading the SIM phonebook, bulk jobs, large vCard
// files) runs on these threads, so the bus thread keeps answering.  The
// method that starts a job hands it over with run() and returns at once;
// the job reports progress through its own family's state, which later
// calls read.
//
// Jobs reach SQLite only through Database::change() and Database::read(),
// which are safe from any thread; a long job commits chunk by chunk so that
// the bus thread never waits on it for long.  A job must not throw: what
// escapes it is logged on stderr and dropped.  The destructor finishes the
// jobs already queued, then joins the threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace contact_engine {

class Workers {
public:
    explicit Workers(std::size_t threads);
    ~Workers();
    Workers(const Workers &) = delete;
    Workers &operator=(const Workers &) = delete;

    // Queues `job` for the next free worker.
    void run(std::function<void()> job);
    // Blocks until every job queued so far has finished (for shutdown and tests).
    void wait_idle();
    // True once shutdown began: a job that goes on chunk by chunk stops at
    // its next chunk boundary instead of running to its end.
    bool stopping();

private:
    void work();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<std::function<void()>> queue_;
    std::size_t busy_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// Runs work(from, to) over 0 .. count in two halves at once, the first on
// this thread and the second on another: work that needs no lock (making
// search keys) uses both cores.
void on_two_threads(std::size_t count, const std::function<void(std::size_t from, std::size_t to)> &work);

} // namespace contact_engine
