#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <stdexcept>
#include <variant>

#include "core/assign.hpp"
#include "engine/spread.hpp"
#include "io/structure_file.hpp"
#include "io_test_support.hpp"

namespace tarnix::engine {
namespace {

TEST(SpreadOver, GivesTheBitsOfOneThread) {
    auto read = io::read_structure_file(io::testing::test_data("4hhb.pdb"));
    ASSERT_TRUE(std::holds_alternative<core::Structure>(read));
    core::Structure alone = std::get<core::Structure>(read);
    core::Structure spread = alone;
    core::assign_structure(alone, core::AssignOptions{});
    core::assign_structure(spread, core::AssignOptions{}, spread_over(3));
    for (std::size_t k = 0; k < alone.residues.size(); ++k) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(spread.residues[k].accessibility),
                  std::bit_cast<std::uint32_t>(alone.residues[k].accessibility));
        ASSERT_EQ(spread.residues[k].ss, alone.residues[k].ss);
    }
}

TEST(SpreadOver, RunsEveryChunkOnceAndRethrowsAFailure) {
    std::atomic<int> calls{0};
    spread_over(3)(1000, [&](std::size_t) { ++calls; });
    EXPECT_EQ(calls, 1000);
    EXPECT_THROW(spread_over(2)(100,
                                [](std::size_t i) {
                                    if (i == 37) throw std::runtime_error("chunk");
                                }),
                 std::runtime_error);
}

}  // namespace
}  // namespace tarnix::engine
