#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/available_processors.hpp"
#include "engine/worker_pool.hpp"

namespace tarnix::engine {
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

// A run whose caller stops waiting while one item never returns: the next runs get a full set of
// workers, and the stuck item keeps what its task owns alive until it ends.
TEST(WorkerPool, AbandonedRunNeitherBlocksNorLimitsTheNextOnes) {
    WorkerPool pool(2);
    auto release = std::make_shared<std::atomic<bool>>(false);
    auto started = std::make_shared<std::atomic<int>>(0);
    std::weak_ptr<std::atomic<bool>> owned = release;
    const bool finished = pool.run_until(
        1000,
        [release, started](std::size_t i) {
            started->fetch_add(1);
            do {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            } while (i == 0 && !release->load());
        },
        std::chrono::milliseconds(20), [] { return false; });
    EXPECT_FALSE(finished);
    for (int round = 0; round < 3; ++round) {
        std::mutex mutex;
        std::set<std::thread::id> threads;
        std::vector<std::atomic<int>> hits(200);
        pool.run(hits.size(), [&](std::size_t i) {
            hits[i].fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::lock_guard lock(mutex);
            threads.insert(std::this_thread::get_id());
        });
        for (const auto& hit : hits) ASSERT_EQ(hit.load(), 1);
        EXPECT_EQ(threads.size(), 2u);
        EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
    }
    EXPECT_LT(started->load(), 1000) << "items of the abandoned run kept starting";
    release->store(true);
    release.reset();
    for (int wait = 0; wait < 5000 && !owned.expired(); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(owned.expired()) << "the stuck item should drop the task once it ends";
    std::atomic<int> after{0};
    pool.run(10, [&](std::size_t) { after.fetch_add(1); });
    EXPECT_EQ(after.load(), 10);
}

TEST(WorkerPool, ProcessPoolKeepsTheSizeOfItsFirstRequest) {
    EXPECT_GE(base::available_processors(), 1u);
    WorkerPool& first = process_pool(2);
    EXPECT_EQ(first.size(), 2u);
    WorkerPool& again = process_pool(8);
    EXPECT_EQ(&again, &first);
    EXPECT_EQ(again.size(), 2u);
}

}  // namespace
}  // namespace tarnix::engine
