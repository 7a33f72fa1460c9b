#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "core/close_pairs.hpp"
#include "core_fixtures.hpp"

namespace tarnix::core {
namespace {

std::vector<ResiduePair> all_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    for (std::uint64_t i = 0; i + 1 < residues.size(); ++i) {
        for (std::uint64_t j = i + 1; j < residues.size(); ++j) {
            if (cas_are_close(residues[i], residues[j])) pairs.push_back({i, j});
        }
    }
    return pairs;
}

std::vector<Residue> with_cas(const std::vector<Point3>& cas) {
    std::vector<Residue> r = testing::blank_chain(cas.size());
    for (std::size_t i = 0; i < cas.size(); ++i) r[i].ca = cas[i];
    return r;
}

std::vector<ResiduePair> find_close_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    ClosePairFinder(residues).for_each([&](ResiduePair pair) { pairs.push_back(pair); });
    std::sort(pairs.begin(), pairs.end());
    return pairs;
}

void expect_same_as_all_pairs(const std::vector<Point3>& cas) {
    const std::vector<Residue> residues = with_cas(cas);
    const std::vector<ResiduePair> expected = all_pairs(residues);
    EXPECT_EQ(find_close_pairs(residues), expected);
}

TEST(ClosePairs, UniformRandomCoordinates) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> box(-40.0f, 40.0f);
    std::vector<Point3> cas(3000);
    for (Point3& p : cas) p = {box(rng), box(rng), box(rng)};
    expect_same_as_all_pairs(cas);
}

TEST(ClosePairs, ClustersAndCellBoundaries) {
    std::mt19937 rng(11);
    std::normal_distribution<float> spread(0.0f, 2.0f);
    std::uniform_int_distribution<int> cell(-3, 3);
    std::uniform_real_distribution<float> tiny(-1e-5f, 1e-5f);
    std::vector<Point3> cas;
    for (const Point3 centre : {Point3{0, 0, 0}, Point3{30, -20, 5}, Point3{1e6f, 1e6f, -1e6f}}) {
        for (int k = 0; k < 600; ++k) {
            cas.push_back({centre.x + spread(rng), centre.y + spread(rng), centre.z + spread(rng)});
        }
    }
    // Points hugging cell walls, where rounding decides the cell.
    for (int k = 0; k < 800; ++k) {
        cas.push_back({10.0f * cell(rng) + tiny(rng), 9.0f * cell(rng) + tiny(rng), 10.0f * cell(rng) + tiny(rng)});
    }
    expect_same_as_all_pairs(cas);
}

TEST(ClosePairs, NonFiniteAndAbsurdCoordinates) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float big = std::numeric_limits<float>::max();
    expect_same_as_all_pairs({{0, 0, 0},       {nan, 0, 0},   {inf, 0, 0},   {inf, 0, 0},     {-inf, 1, 1},
                              {3, 0, 0},       {1e30f, 0, 0}, {1e30f, 0, 0}, {-1e30f, 5, 5},  {big, big, big},
                              {big, big, big}, {-big, 0, 0},  {1e15f, 0, 0}, {1e15f, 4, 0},   {4e19f, 0, 0},
                              {4.6e19f, 0, 0}, {0, nan, nan}, {1, 1, 1},     {-big, -big, 0}, {-big, -big, 0}});
}

TEST(ClosePairs, NineAngstromsIsTheInclusiveLimit) {
    const std::vector<Residue> residues = with_cas({{0, 0, 0}, {9.0f, 0, 0}, {-9.01f, 0, 0}});
    EXPECT_EQ(find_close_pairs(residues), (std::vector<ResiduePair>{{0, 1}}));
    EXPECT_TRUE(find_close_pairs(with_cas({{1, 2, 3}})).empty());
}

}  // namespace
}  // namespace tarnix::core
