#include "python/worker_pool.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>

namespace tarnix::python {

WorkerPool::WorkerPool(std::size_t threads) {
    workers_.reserve(threads);
    for (std::size_t t = 0; t < threads; ++t) {
        try {
            workers_.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    job_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void WorkerPool::drain() {
    for (;;) {
        const std::size_t i = next_index_.fetch_add(1, std::memory_order_relaxed);
        if (i >= count_) return;
        (*task_)(i);
    }
}

void WorkerPool::work() {
    std::size_t seen_generation = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            job_ready_.wait(lock, [&] { return stopping_ || generation_ != seen_generation; });
            if (stopping_) return;
            seen_generation = generation_;
        }
        drain();
        std::lock_guard lock(mutex_);
        if (--busy_workers_ == 0) job_done_.notify_all();
    }
}

void WorkerPool::run(std::size_t count, const std::function<void(std::size_t)>& task) {
    if (count == 0) return;
    std::unique_lock lock(mutex_);
    task_ = &task;
    count_ = count;
    next_index_.store(0, std::memory_order_relaxed);
    if (workers_.empty()) {
        lock.unlock();
        drain();
        return;
    }
    busy_workers_ = workers_.size();
    ++generation_;
    job_ready_.notify_all();
    job_done_.wait(lock, [&] { return busy_workers_ == 0; });
    task_ = nullptr;
}

namespace {

std::optional<std::size_t> cgroup_v2_limit(const std::string& relative_path) {
    std::optional<std::size_t> limit;
    std::string path = relative_path;
    for (;;) {
        std::ifstream file("/sys/fs/cgroup" + path + "/cpu.max");
        std::string quota;
        long long period = 0;
        if (file >> quota >> period && quota != "max" && period > 0) {
            try {
                const long long cpus = std::max(1LL, std::stoll(quota) / period);
                limit = std::min(limit.value_or(cpus), static_cast<std::size_t>(cpus));
            } catch (const std::exception&) {
            }
        }
        if (path.empty() || path == "/") break;
        path = path.substr(0, path.rfind('/'));
    }
    return limit;
}

std::optional<std::size_t> cgroup_v1_limit(const std::string& relative_path) {
    for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
        for (const std::string& dir : {std::string(mount) + relative_path, std::string(mount)}) {
            std::ifstream quota_file(dir + "/cpu.cfs_quota_us");
            std::ifstream period_file(dir + "/cpu.cfs_period_us");
            long long quota = 0;
            long long period = 0;
            if (quota_file >> quota && period_file >> period) {
                if (quota <= 0 || period <= 0) return std::nullopt;
                return static_cast<std::size_t>(std::max(1LL, quota / period));
            }
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> cgroup_cpu_limit() {
    std::ifstream cgroups("/proc/self/cgroup");
    std::string line;
    std::optional<std::size_t> limit;
    while (std::getline(cgroups, line)) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        std::optional<std::size_t> found;
        if (line.compare(0, first, "0") == 0 && controllers.empty()) {
            found = cgroup_v2_limit(path == "/" ? std::string() : path);
        } else {
            std::stringstream names(controllers);
            std::string name;
            while (std::getline(names, name, ',')) {
                if (name == "cpu") found = cgroup_v1_limit(path == "/" ? std::string() : path);
            }
        }
        if (found) limit = std::min(limit.value_or(*found), *found);
    }
    return limit;
}

WorkerPool* pool = nullptr;
pid_t pool_owner = 0;

}  // namespace

std::size_t available_processors() {
    std::size_t count = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) count = static_cast<std::size_t>(CPU_COUNT(&set));
    if (count == 0) return 1;
    if (const auto quota = cgroup_cpu_limit()) count = std::min(count, *quota);
    return std::max<std::size_t>(count, 1);
}

WorkerPool& process_pool(std::size_t requested) {
    // The pool is never destroyed: its threads block until the process ends, and destroying
    // joinable threads during interpreter exit would terminate the process. A forked child
    // abandons the parent's pool for the same reason (its threads were not copied).
    if (pool == nullptr || pool_owner != getpid()) {
        const std::size_t threads = requested > 0 ? requested : available_processors();
        pool = new WorkerPool(std::min(threads, kMaxPoolThreads));
        pool_owner = getpid();
    }
    return *pool;
}

}  // namespace tarnix::python
