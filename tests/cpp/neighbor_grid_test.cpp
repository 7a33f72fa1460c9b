#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "core/neighbor_grid.hpp"

namespace tarnix::core {
namespace {

struct GridView {
    std::vector<std::vector<std::size_t>> members, neighbourhoods, forward;
    std::vector<std::size_t> by_key;
};

// Everything a grid tells about its first `cells` cells.
GridView view(const NeighborGrid& grid, std::size_t cells) {
    GridView v;
    for (std::size_t cell = 0; cell < cells; ++cell) {
        const auto members = grid.members(cell);
        v.members.emplace_back(members.begin(), members.end());
        v.neighbourhoods.emplace_back();
        grid.neighbourhood(cell, v.neighbourhoods.back());
        v.forward.emplace_back();
        grid.forward_neighbours(cell, v.forward.back());
    }
    for (std::size_t cell : grid.cells_by_key()) {
        if (cell < cells) v.by_key.push_back(cell);
    }
    return v;
}

// A compact cloud is looked up through a box; one far point more makes the box too large, and
// the same cells, in the same order, must come out of the hash table.
TEST(NeighborGrid, BoxAndHashTableAgree) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> coordinate(-30.0f, 30.0f);
    std::uniform_int_distribution<int> wall(-4, 4);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<Point3> points;
    for (int k = 0; k < 3000; ++k) points.push_back({coordinate(rng), coordinate(rng), coordinate(rng)});
    // Points on cell walls, and points the grid leaves out.
    for (int k = 0; k < 300; ++k) points.push_back({7.0f * wall(rng), 7.0f * wall(rng), coordinate(rng)});
    points.push_back({nan, 0.0f, 0.0f});
    points.push_back({0.0f, std::numeric_limits<float>::infinity(), 0.0f});

    const NeighborGrid compact(points, 7.0f);
    std::vector<Point3> with_far = points;
    with_far.push_back({1e7f, -1e7f, 1e7f});
    const NeighborGrid sparse(with_far, 7.0f);

    ASSERT_EQ(sparse.cell_count(), compact.cell_count() + 1);
    const GridView a = view(compact, compact.cell_count());
    const GridView b = view(sparse, compact.cell_count());
    EXPECT_EQ(a.members, b.members);
    EXPECT_EQ(a.neighbourhoods, b.neighbourhoods);
    EXPECT_EQ(a.forward, b.forward);
    EXPECT_EQ(a.by_key, b.by_key);
}

}  // namespace
}  // namespace tarnix::core
