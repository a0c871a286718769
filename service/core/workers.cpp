#include "core/workers.h"

#include <exception>
#include <future>
#include <iostream>

namespace contact_engine {

Workers::Workers(std::size_t threads)
{
    for (std::size_t i = 0; i < threads; ++i)
        threads_.emplace_back([this] { work(); });
}

Workers::~Workers()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &thread : threads_)
        thread.join();
}

void Workers::run(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void Workers::wait_idle()
{
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && busy_ == 0; });
}

bool Workers::stopping()
{
    std::lock_guard lock(mutex_);
    return stopping_;
}

void Workers::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return; // stopping, and nothing left to do
        std::function<void()> job = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
        lock.unlock();
        try {
            job();
        } catch (const std::exception &error) {
            std::cerr << "contact-engine-service: a worker job failed: " << error.what() << std::endl;
        } catch (...) {
            std::cerr << "contact-engine-service: a worker job failed" << std::endl;
        }
        job = nullptr; // its captures go before the job counts as finished
        lock.lock();
        --busy_;
        if (queue_.empty() && busy_ == 0)
            idle_.notify_all();
    }
}

void on_two_threads(std::size_t count, const std::function<void(std::size_t, std::size_t)> &work)
{
    const std::size_t half = count / 2;
    std::future<void> other = std::async(std::launch::async, work, half, count);
    work(0, half);
    other.get();
}

} // namespace contact_engine
