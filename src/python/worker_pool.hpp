// A fixed set of worker threads that run one indexed job at a time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnix::python {

class WorkerPool {
public:
    // Starts up to `threads` workers; fewer when the system refuses to create more.
    explicit WorkerPool(std::size_t threads);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    // Stops and joins the workers.
    ~WorkerPool();

    std::size_t size() const { return workers_.size(); }

    // Calls task(i) once for every i in [0, count), spread over the workers, and returns when
    // all calls have returned. Indices are handed out one at a time, so one slow item does not
    // leave the other workers idle. Runs on the calling thread if the pool has no worker.
    void run(std::size_t count, const std::function<void(std::size_t)>& task);

private:
    void work();
    void drain();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable job_ready_;
    std::condition_variable job_done_;
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<std::size_t> next_index_{0};
    std::size_t generation_ = 0;
    std::size_t busy_workers_ = 0;
    bool stopping_ = false;
};

// The number of processors this process may run on: its affinity set, further limited by a
// cgroup (v1 or v2) CPU quota; 1 when it cannot be determined.
std::size_t available_processors();

// The process-wide pool. The first call creates it, with `requested` threads when that is
// nonzero, else with available_processors(); later calls return it unchanged. A process
// forked from one that had a pool gets a fresh pool, since the parent's threads do not exist
// in the child.
WorkerPool& process_pool(std::size_t requested);

// The most threads a pool is created with, whatever was requested.
inline constexpr std::size_t kMaxPoolThreads = 256;

}  // namespace tarnix::python
