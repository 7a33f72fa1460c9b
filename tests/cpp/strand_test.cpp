#include <gtest/gtest.h>

#include <functional>

#include "core/strand.hpp"
#include "core_fixtures.hpp"

namespace tarnix::core {
namespace {

using testing::blank_chain;
using testing::codes;
using testing::set_bond;

constexpr BridgeKind kPar = BridgeKind::parallel;
constexpr BridgeKind kAnti = BridgeKind::antiparallel;

Ladder ladder(BridgeKind kind, std::vector<std::uint64_t> s1, std::vector<std::uint64_t> s2) {
    return Ladder{std::move(s1), std::move(s2), 0, 0, kind};
}

// The NH(i)->O(j) and NH(j)->O(i) pair that makes an antiparallel bridge.
void pair_bonds(std::vector<Residue>& r, std::uint64_t i, std::uint64_t j) {
    set_bond(r, i, j);
    set_bond(r, j, i);
}

TEST(Strands, TwoAntiparallelBridgesMakeOneLadder) {
    std::vector<Residue> r = blank_chain(40);
    pair_bonds(r, 10, 30);
    pair_bonds(r, 11, 29);
    const std::vector<ResiduePair> pairs{{10, 29}, {10, 30}, {11, 29}, {11, 30}};
    const std::vector<Ladder> ladders = find_bridges(r, pairs);
    ASSERT_EQ(ladders.size(), 1u);
    EXPECT_EQ(ladders[0].strand1, (std::vector<std::uint64_t>{10, 11}));
    EXPECT_EQ(ladders[0].strand2, (std::vector<std::uint64_t>{29, 30}));
    assign_strands(r, pairs);
    EXPECT_EQ(codes(r).substr(9, 23), " EE                 EE ");
    EXPECT_EQ(r[10].bridge_partners[0]->partner, 30u);
    EXPECT_EQ(r[29].bridge_partners[0]->partner, 11u);
    EXPECT_FALSE(r[29].bridge_partners[0]->parallel);
    EXPECT_EQ(r[30].sheet, 1u);
    EXPECT_EQ(r[12].sheet, 0u);
}

TEST(Strands, BothPatternsMakeAParallelBridge) {
    std::vector<Residue> r = blank_chain(40);
    pair_bonds(r, 10, 30);
    set_bond(r, 11, 30);
    set_bond(r, 30, 9);
    const std::vector<Ladder> ladders = find_bridges(r, {{10, 30}});
    ASSERT_EQ(ladders.size(), 1u);
    EXPECT_EQ(ladders[0].kind, kPar);
}

struct EligibilityCase {
    std::uint64_t i, j;
    std::function<void(std::vector<Residue>&)> change;
    bool bridge;
};

class BridgeEligibility : public ::testing::TestWithParam<EligibilityCase> {};

TEST_P(BridgeEligibility, NeedsSeparationAndIntactNeighbours) {
    const EligibilityCase& c = GetParam();
    std::vector<Residue> r = blank_chain(30);
    pair_bonds(r, c.i, c.j);
    if (c.change) c.change(r);
    EXPECT_EQ(find_bridges(r, {{c.i, c.j}}).size(), c.bridge ? 1u : 0u);
}

auto break_at(std::size_t k) {
    return [k](std::vector<Residue>& r) { r[k].break_flag = kBreakSameChain; };
}

auto chain_change_at(std::size_t k) {
    return [k](std::vector<Residue>& r) { r[k].chain_id = std::string(1, 'B'); };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BridgeEligibility,
    ::testing::Values(EligibilityCase{10, 13, nullptr, false}, EligibilityCase{10, 14, nullptr, true},
                      EligibilityCase{0, 20, nullptr, false}, EligibilityCase{10, 29, nullptr, false},
                      EligibilityCase{10, 20, break_at(11), false}, EligibilityCase{10, 20, break_at(10), false},
                      EligibilityCase{10, 20, break_at(9), true}, EligibilityCase{10, 20, break_at(21), false},
                      EligibilityCase{10, 20, chain_change_at(19), false}));

struct GapCase {
    BridgeKind kind;
    std::uint64_t gap1, gap2;
    bool merged;
};

class BulgeGaps : public ::testing::TestWithParam<GapCase> {};

TEST_P(BulgeGaps, MergeOnlyWithinBulgeLimits) {
    const GapCase& c = GetParam();
    const std::uint64_t b2 = c.kind == kPar ? 30 + c.gap2 : 30 - c.gap2;
    std::vector<Ladder> ladders{ladder(c.kind, {10}, {30}), ladder(c.kind, {10 + c.gap1}, {b2})};
    merge_bulges(ladders, blank_chain(50));
    EXPECT_EQ(ladders.size(), c.merged ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(Cases, BulgeGaps,
                         ::testing::Values(GapCase{kPar, 5, 2, true}, GapCase{kPar, 2, 5, true},
                                           GapCase{kAnti, 5, 2, true}, GapCase{kAnti, 2, 5, true},
                                           GapCase{kPar, 5, 3, false}, GapCase{kPar, 3, 3, false},
                                           GapCase{kAnti, 6, 0, false}, GapCase{kAnti, 3, 3, false}));

TEST(Strands, BulgeMergesIntoEAndSkipsTheBulgedResidues) {
    std::vector<Residue> r = blank_chain(50);
    std::vector<Ladder> ladders{ladder(kAnti, {10}, {32}), ladder(kAnti, {12}, {30})};
    merge_bulges(ladders, r);
    ASSERT_EQ(ladders.size(), 1u);
    build_sheets(ladders, r.size());
    mark_strands(ladders, r);
    EXPECT_EQ(codes(r).substr(10, 23), "E E                 E E");
    EXPECT_EQ(r[12].bridge_partners[0]->partner, 30u);

    std::vector<Residue> broken = blank_chain(50);
    broken[31].break_flag = kBreakSameChain;
    std::vector<Ladder> apart{ladder(kAnti, {10}, {32}), ladder(kAnti, {12}, {30})};
    merge_bulges(apart, broken);
    EXPECT_EQ(apart.size(), 2u);
}

// p cannot merge with a or c alone but could with a + c; p is not looked at again.
TEST(Strands, MergedLadderIsNotComparedWithEarlierOnes) {
    std::vector<Ladder> ladders{ladder(kPar, {10}, {30}), ladder(kPar, {12}, {40}), ladder(kPar, {16}, {32})};
    merge_bulges(ladders, blank_chain(50));
    ASSERT_EQ(ladders.size(), 2u);
    EXPECT_EQ(ladders[1].strand1, (std::vector<std::uint64_t>{12, 16}));
    EXPECT_EQ(ladders[1].strand2, (std::vector<std::uint64_t>{32, 40}));
}

TEST(Strands, SheetsJoinThroughAThirdLadderBreadthFirst) {
    std::vector<Ladder> ladders{ladder(kAnti, {1, 2}, {20, 21}), ladder(kAnti, {5, 6}, {40, 41}),
                                ladder(kPar, {21, 22}, {41, 42}), ladder(kAnti, {60, 61}, {80, 81})};
    build_sheets(ladders, 90);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sheet_and_number;
    for (const Ladder& l : ladders) sheet_and_number.emplace_back(l.sheet, l.number);
    EXPECT_EQ(sheet_and_number, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}, {1, 3}, {1, 2}, {2, 4}}));
}

TEST(Strands, StrandCodeWinsAndPartnerSlotsKeepFirstAndLast) {
    std::vector<Residue> r = blank_chain(50);
    std::vector<Ladder> ladders{ladder(kAnti, {10}, {20}), ladder(kAnti, {5, 6}, {9, 10}), ladder(kPar, {10}, {40})};
    mark_strands(ladders, r);
    EXPECT_EQ(r[10].ss, 'E');
    EXPECT_EQ(r[20].ss, 'B');
    EXPECT_EQ(r[40].ss, 'B');
    EXPECT_EQ(r[10].bridge_partners[0]->partner, 20u);
    EXPECT_EQ(r[10].bridge_partners[1]->partner, 40u);
    EXPECT_TRUE(r[10].bridge_partners[1]->parallel);
}

}  // namespace
}  // namespace tarnix::core
