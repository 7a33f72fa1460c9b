#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/annotate_run.hpp"
#include "io_test_support.hpp"

namespace tarnix::engine {
namespace {

using namespace std::chrono_literals;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::int32_t first_input_row(const AnnotatedInput& result) {
    return reinterpret_cast<const std::int32_t*>(result.residues.columns[0].values.data())[0];
}

// Inputs of three kinds in turn: bytes in memory, a range of a file holding other bytes around the
// same text, and one that failed already; fed through a window of 3, taken 7 at a time.
TEST(AnnotateRun, TakesEveryInputInOrderThroughASmallWindow) {
    const std::string text = file_bytes(std::string(TARNIX_TEST_DATA) + "/1ubq.pdb");
    const io::testing::TempDir folder;
    const std::string padded = folder.write("padded.tar", "garbage" + text + "more garbage");
    const auto archive = std::make_shared<const io::FileDescriptor>(::open(padded.c_str(), O_RDONLY | O_CLOEXEC));
    constexpr std::size_t kInputs = 40;
    std::vector<Input> inputs(kInputs);
    for (std::size_t i = 0; i < kInputs; ++i) {
        inputs[i].name = "input" + std::to_string(i) + ".pdb";
        if (i % 3 == 0) inputs[i].bytes = text;
        if (i % 3 == 1) inputs[i].range = FileRange{archive, 7, text.size()};
        if (i % 3 == 2) inputs[i].failure = "failed " + std::to_string(i);
    }
    AnnotateRun run(AnnotateOptions{}, 100, 2, RunWindow{3, std::size_t{1} << 30});
    std::vector<AnnotatedInput> results;
    std::set<std::size_t> released;
    std::size_t taken = 0;
    for (std::size_t added = 0; added < kInputs || taken < kInputs;) {
        if (added < kInputs) {
            while (!run.wait_for_room(0, 10ms)) {
            }
            EXPECT_LE(run.added() - run.done(), 3u);
            run.add(inputs[added++]);
            if (added == kInputs) run.close();
        }
        for (const std::size_t place : run.take_released()) EXPECT_TRUE(released.insert(place).second) << place;
        const std::size_t count = std::min<std::size_t>(7, added - taken);
        if (added == kInputs ? run.wait_for(count, 10s) : run.ready() >= count) {
            std::size_t place = 0;
            for (AnnotatedInput& result : run.take(count)) {
                EXPECT_EQ(result.source, place++);  // counted from the first input taken
                results.push_back(std::move(result));
            }
            taken += count;
        }
    }
    for (const std::size_t place : run.take_released()) EXPECT_TRUE(released.insert(place).second) << place;
    ASSERT_EQ(results.size(), kInputs);
    const std::size_t residues = results[0].residues.rows;
    EXPECT_GT(residues, 70u);
    for (std::size_t i = 0; i < kInputs; ++i) {
        if (i % 3 == 2) {
            EXPECT_EQ(results[i].error, "failed " + std::to_string(i));
            continue;
        }
        EXPECT_EQ(results[i].error, "") << i;
        EXPECT_EQ(results[i].residues.rows, residues) << i;
        EXPECT_EQ(first_input_row(results[i]), 100 + static_cast<std::int32_t>(i)) << i;
    }
    std::set<std::size_t> in_memory;
    for (std::size_t i = 0; i < kInputs; i += 3) in_memory.insert(i);
    EXPECT_EQ(released, in_memory);
}

TEST(AnnotateRun, LeavingBeforeTheEndWaitsOnlyForWorkersOnMemory) {
    const std::string text = file_bytes(std::string(TARNIX_TEST_DATA) + "/1ubq.pdb");
    std::string copy = text;
    {
        AnnotateRun run(AnnotateOptions{}, 0, 2, RunWindow{});
        for (int i = 0; i < 200; ++i) {
            Input input;
            input.name = "memory.pdb";
            input.bytes = copy;
            run.add(std::move(input));
        }
    }
    // No worker may read the bytes once the run is gone: overwrite them while a late one would.
    copy.assign(copy.size(), 'x');
    SUCCEED();
}

}  // namespace
}  // namespace tarnix::engine
