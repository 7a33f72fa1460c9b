#include "engine/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "base/available_processors.hpp"

namespace tarnix::engine {

struct WorkerPool::Run {
    Run(Task t, std::size_t n) : task(std::move(t)), count(n) {}

    // Runs items until none is left or the run is abandoned.
    void drain() {
        while (!abandoned.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count) return;
            task(i);
        }
    }
    bool exhausted() const { return next.load(std::memory_order_relaxed) >= count; }

    const Task task;
    const std::size_t count;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> abandoned{false};
    std::size_t participants = 0;  // guarded by the pool's mutex
};

WorkerPool::WorkerPool(std::size_t threads) {
    std::lock_guard lock(mutex_);
    while (size_ < threads && start_worker()) ++size_;
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    job_ready_.notify_all();
    for (Worker& worker : workers_) worker.thread.join();
}

// Workers start with every signal blocked, so that a signal such as Ctrl-C reaches the
// thread that waits for the run and never interrupts a worker's read instead.
bool WorkerPool::start_worker() {
    Worker& worker = workers_.emplace_back();
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    bool started = true;
    try {
        worker.thread = std::thread([this, &worker] { work(worker); });
    } catch (const std::exception&) {
        started = false;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        workers_.pop_back();
        return false;
    }
    ++active_;
    return true;
}

void WorkerPool::reap_exited() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->exited) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void WorkerPool::work(Worker& self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        job_ready_.wait(lock, [&] { return stopping_ || (current_ && !current_->exhausted()); });
        if (stopping_) break;
        const std::shared_ptr<Run> run = current_;
        ++run->participants;
        lock.unlock();
        run->drain();
        lock.lock();
        if (--run->participants == 0) job_done_.notify_all();
        if (run->abandoned.load(std::memory_order_relaxed)) {
            // Back from an abandoned run: serve again unless a replacement took this place.
            if (active_ == size_) break;
            ++active_;
        }
    }
    self.exited = true;
}

bool WorkerPool::run_inline(std::size_t count, const Task& task, const std::function<bool()>& keep_waiting) {
    for (std::size_t i = 0; i < count; ++i) {
        task(i);
        if (i + 1 < count && !keep_waiting()) return false;
    }
    return true;
}

void WorkerPool::run(std::size_t count, Task task) {
    run_until(count, std::move(task), std::chrono::hours(1), [] { return true; });
}

bool WorkerPool::run_until(std::size_t count, Task task, std::chrono::milliseconds slice,
                           const std::function<bool()>& keep_waiting) {
    if (count == 0) return true;
    std::unique_lock lock(mutex_);
    if (!current_) {
        reap_exited();
        while (active_ < size_ && start_worker()) {
        }
    }
    if (current_ || active_ == 0) {
        lock.unlock();
        return run_inline(count, task, keep_waiting);
    }
    const auto run = std::make_shared<Run>(std::move(task), count);
    current_ = run;
    job_ready_.notify_all();
    while (!job_done_.wait_for(lock, slice, [&] { return run->exhausted() && run->participants == 0; })) {
        lock.unlock();
        const bool keep = keep_waiting();
        lock.lock();
        if (!keep) {
            run->abandoned.store(true, std::memory_order_relaxed);
            active_ -= run->participants;
            current_.reset();
            return false;
        }
    }
    current_.reset();
    return true;
}

namespace {

WorkerPool* pool = nullptr;
pid_t pool_owner = 0;

}  // namespace

WorkerPool& process_pool(std::size_t requested) {
    // The pool is never destroyed: its threads block until the process ends, and destroying
    // joinable threads during interpreter exit would terminate the process. A forked child
    // abandons the parent's pool for the same reason (its threads were not copied).
    if (pool == nullptr || pool_owner != getpid()) {
        const std::size_t threads = requested > 0 ? requested : base::available_processors();
        pool = new WorkerPool(std::min(threads, kMaxPoolThreads));
        pool_owner = getpid();
    }
    return *pool;
}

}  // namespace tarnix::engine
