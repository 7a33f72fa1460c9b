#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "python/worker_pool.hpp"

namespace tarnix::python {
namespace {

TEST(WorkerPool, RunsEveryIndexExactlyOnceAcrossRepeatedJobs) {
    WorkerPool pool(3);
    ASSERT_EQ(pool.size(), 3u);
    for (std::size_t count : {0u, 1u, 2u, 7u, 1000u}) {
        std::vector<std::atomic<int>> hits(count);
        pool.run(count, [&](std::size_t i) { hits[i].fetch_add(1); });
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(hits[i].load(), 1) << "count " << count << " index " << i;
    }
}

TEST(WorkerPool, SlowItemDoesNotHoldBackTheRest) {
    WorkerPool pool(2);
    std::vector<std::thread::id> runner(64);
    pool.run(runner.size(), [&](std::size_t i) {
        if (i == 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        runner[i] = std::this_thread::get_id();
    });
    std::size_t with_slow_worker = 0;
    for (const auto& id : runner) with_slow_worker += id == runner[0];
    EXPECT_EQ(with_slow_worker, 1u) << "the other worker should take every other item";
}

TEST(WorkerPool, WithoutWorkersRunsOnTheCallingThread) {
    WorkerPool pool(0);
    std::set<std::thread::id> threads;
    pool.run(5, [&](std::size_t) { threads.insert(std::this_thread::get_id()); });
    EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST(WorkerPool, ProcessPoolKeepsTheSizeOfItsFirstRequest) {
    EXPECT_GE(available_processors(), 1u);
    WorkerPool& first = process_pool(2);
    EXPECT_EQ(first.size(), 2u);
    WorkerPool& again = process_pool(8);
    EXPECT_EQ(&again, &first);
    EXPECT_EQ(again.size(), 2u);
}

}  // namespace
}  // namespace tarnix::python
