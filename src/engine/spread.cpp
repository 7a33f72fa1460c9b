#include "engine/spread.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnix::engine {

core::ParallelFor spread_over(std::size_t extra_threads) {
    return [extra_threads](std::size_t count, const std::function<void(std::size_t)>& task) {
        std::atomic<std::size_t> next{0};
        std::mutex failure_mutex;
        std::exception_ptr failure;
        auto drain = [&] {
            try {
                for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) task(i);
            } catch (...) {
                next.store(count, std::memory_order_relaxed);  // the others stop after their chunk
                std::lock_guard lock(failure_mutex);
                if (!failure) failure = std::current_exception();
            }
        };
        std::vector<std::thread> helpers;
        const std::size_t wanted = count > 1 ? std::min(extra_threads, count - 1) : 0;
        for (std::size_t k = 0; k < wanted; ++k) {
            try {
                helpers.emplace_back(drain);
            } catch (const std::system_error&) {
                break;  // fewer helpers, same results
            }
        }
        drain();
        for (std::thread& helper : helpers) helper.join();
        if (failure) std::rethrow_exception(failure);
    };
}

}  // namespace tarnix::engine
