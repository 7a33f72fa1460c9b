// Worker threads that run indexed jobs, with a caller that may stop waiting.
//
// Contract: one run at a time has the workers. A run started while another is in progress on
// the same pool (from another thread, or from inside keep_waiting) is not refused and does not
// wait: it runs its items on its own calling thread. A run whose caller stopped waiting is
// abandoned: no further item of it starts, and items already running finish on their workers
// in their own time, holding the task (and whatever it owns) until then. Such a worker does not
// count against the next run, which gets fresh workers in its place; a run never has more than
// size() workers, and a late worker whose place was taken leaves once its item ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace tarnix::engine {

class WorkerPool {
public:
    using Task = std::function<void(std::size_t)>;

    // Starts up to `threads` workers; fewer when the system refuses to create more.
    explicit WorkerPool(std::size_t threads);
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    // Stops the workers and waits for every one, including any still busy with an item of an
    // abandoned run.
    ~WorkerPool();

    // The number of workers each run gets.
    std::size_t size() const { return size_; }

    // Calls task(i) once for every i in [0, count), spread over the workers, and returns when
    // all calls have returned. Indices are handed out one at a time, so one slow item does not
    // leave the other workers idle. Runs on the calling thread if no worker can be had.
    void run(std::size_t count, Task task);

    // As run, but asks keep_waiting() every `slice` (on the calling thread, without any lock of
    // the pool held; between items when the run is on the calling thread). When it answers
    // false the run is abandoned and the call returns false at once; true when every item ran.
    bool run_until(std::size_t count, Task task, std::chrono::milliseconds slice,
                   const std::function<bool()>& keep_waiting);

private:
    struct Run;
    struct Worker {
        std::thread thread;
        bool exited = false;
    };

    void work(Worker& self);
    bool start_worker();
    // Joins workers that left; called with the lock held, never by a worker.
    void reap_exited();
    static bool run_inline(std::size_t count, const Task& task, const std::function<bool()>& keep_waiting);

    std::mutex mutex_;
    std::condition_variable job_ready_;
    std::condition_variable job_done_;
    std::list<Worker> workers_;
    std::size_t size_ = 0;
    std::size_t active_ = 0;  // workers free or on the current run: all but those on abandoned runs
    std::shared_ptr<Run> current_;
    bool stopping_ = false;
};

// The process-wide pool. The first call creates it, with `requested` threads when that is
// nonzero, else with base::available_processors(); later calls return it unchanged. A process
// forked from one that had a pool gets a fresh pool, since the parent's threads do not exist
// in the child.
WorkerPool& process_pool(std::size_t requested);

// The most threads a pool is created with, whatever was requested.
inline constexpr std::size_t kMaxPoolThreads = 256;

}  // namespace tarnix::engine
