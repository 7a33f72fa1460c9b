#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <unordered_set>

#include "core/hbond.hpp"
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

// The strand phase written out literally: ladder scans in list order, merges that erase at once,
// and a breadth-first search that compares every ladder with every other, residue by residue.
namespace literal {

bool continues_chain(const std::vector<Residue>& r, std::uint64_t k) {
    return r[k].chain_id == r[k - 1].chain_id && r[k + 1].chain_id == r[k - 1].chain_id && r[k].break_flag == 0 &&
           r[k + 1].break_flag == 0;
}

std::vector<Ladder> find_bridges(const std::vector<Residue>& r, const std::vector<ResiduePair>& pairs) {
    std::vector<Ladder> ladders;
    const std::uint64_t n = r.size();
    for (const auto [i, j] : pairs) {
        if (j < i + 4 || i < 1 || i + 1 >= n || j + 1 >= n) continue;
        if (!continues_chain(r, i) || !continues_chain(r, j)) continue;
        const bool par =
            (nh_to_o(r, i + 1, j) && nh_to_o(r, j, i - 1)) || (nh_to_o(r, j + 1, i) && nh_to_o(r, i, j - 1));
        const bool anti = (nh_to_o(r, i + 1, j - 1) && nh_to_o(r, j + 1, i - 1)) ||
                          (nh_to_o(r, j, i) && nh_to_o(r, i, j)) || (o_from_nh(r, i, j) && o_from_nh(r, j, i));
        if (!par && !anti) continue;
        const BridgeKind kind = par ? kPar : kAnti;
        bool added = false;
        for (Ladder& l : ladders) {
            if (l.kind != kind || l.strand1.back() != i - 1) continue;
            if (kind == kAnti && l.strand2.front() == j + 1) {
                l.strand1.push_back(i);
                l.strand2.insert(l.strand2.begin(), j);
                added = true;
                break;
            }
            if (kind == kPar && l.strand2.back() == j - 1) {
                l.strand1.push_back(i);
                l.strand2.push_back(j);
                added = true;
                break;
            }
        }
        if (!added) ladders.push_back(ladder(kind, {i}, {j}));
    }
    return ladders;
}

bool span_intact(const std::vector<Residue>& r, std::uint64_t lo, std::uint64_t hi) {
    for (std::uint64_t k = lo + 1; k <= hi; ++k) {
        if (r[k].chain_id != r[lo].chain_id || r[k].break_flag != 0) return false;
    }
    return true;
}

void merge_bulges(std::vector<Ladder>& ladders, const std::vector<Residue>& r) {
    for (std::size_t a = 0; a < ladders.size(); ++a) {
        for (std::size_t b = a + 1; b < ladders.size();) {
            Ladder& x = ladders[a];
            const Ladder& y = ladders[b];
            const std::int64_t a1f = x.strand1.front(), a1l = x.strand1.back(), a2f = x.strand2.front(),
                               a2l = x.strand2.back();
            const std::int64_t b1f = y.strand1.front(), b1l = y.strand1.back(), b2f = y.strand2.front(),
                               b2l = y.strand2.back();
            const std::int64_t gap1 = std::max<std::int64_t>(b1f - a1l, 0);
            const std::int64_t gap2 = std::max<std::int64_t>(x.kind == kPar ? b2f - a2l : a2f - b2l, 0);
            const bool merge = x.kind == y.kind && span_intact(r, std::min(a1f, b1f), std::max(a1l, b1l)) &&
                               span_intact(r, std::min(a2f, b2f), std::max(a2l, b2l)) && (a1l < b1f || a1f > b1l) &&
                               ((gap1 <= 5 && gap2 <= 2) || (gap1 <= 2 && gap2 <= 5));
            if (!merge) {
                ++b;
                continue;
            }
            for (auto [into, from] : {std::pair{&x.strand1, &y.strand1}, std::pair{&x.strand2, &y.strand2}}) {
                into->insert(into->end(), from->begin(), from->end());
                std::sort(into->begin(), into->end());
                into->erase(std::unique(into->begin(), into->end()), into->end());
            }
            ladders.erase(ladders.begin() + static_cast<std::ptrdiff_t>(b));
        }
    }
}

bool share_residue(const Ladder& x, const Ladder& y) {
    for (const auto* xs : {&x.strand1, &x.strand2}) {
        for (const auto* ys : {&y.strand1, &y.strand2}) {
            for (std::uint64_t p : *xs) {
                for (std::uint64_t q : *ys) {
                    if (p == q) return true;
                }
            }
        }
    }
    return false;
}

void build_sheets(std::vector<Ladder>& ladders) {
    std::unordered_set<std::size_t> visited;
    std::uint32_t sheet = 1, number = 1;
    for (std::size_t s = 0; s < ladders.size(); ++s) {
        if (visited.count(s)) continue;
        std::vector<std::size_t> members;
        std::deque<std::size_t> queue{s};
        while (!queue.empty()) {
            const std::size_t x = queue.front();
            queue.pop_front();
            if (visited.count(x)) continue;
            visited.insert(x);
            members.push_back(x);
            for (std::size_t y = 0; y < ladders.size(); ++y) {
                if (!visited.count(y) && share_residue(ladders[x], ladders[y])) queue.push_back(y);
            }
        }
        for (std::size_t m : members) {
            ladders[m].sheet = sheet;
            ladders[m].number = number++;
        }
        ++sheet;
    }
}

}  // namespace literal

std::string describe(const std::vector<Ladder>& ladders) {
    std::ostringstream s;
    for (const Ladder& l : ladders) {
        s << (l.kind == kPar ? "P[" : "A[");
        for (std::uint64_t k : l.strand1) s << k << ' ';
        s << '|';
        for (std::uint64_t k : l.strand2) s << ' ' << k;
        s << "] #" << l.number << " sheet " << l.sheet << '\n';
    }
    return s.str();
}

std::string describe(const std::vector<Residue>& residues) {
    std::ostringstream s;
    for (const Residue& r : residues) {
        s << r.ss << r.sheet;
        for (const auto& p : r.bridge_partners) {
            if (p) s << '(' << p->partner << ',' << p->ladder << (p->parallel ? "p)" : "a)");
        }
        s << '\n';
    }
    return s.str();
}

// Random residues with planted ladders (with gaps, shared residues, bonds seen from one side
// only or too weak), chain changes and breaks, and a close-pair list with holes.
struct RandomStrands {
    std::vector<Residue> residues;
    std::vector<ResiduePair> pairs;
};

RandomStrands random_strands(std::mt19937& rng) {
    auto chance = [&rng](double p) { return std::bernoulli_distribution(p)(rng); };
    auto pick = [&rng](std::uint64_t lo, std::uint64_t hi) {
        return std::uniform_int_distribution<std::uint64_t>(lo, hi)(rng);
    };
    const std::uint64_t n = pick(40, 110);
    RandomStrands out;
    std::vector<Residue>& r = out.residues;
    r = blank_chain(n);
    char chain = 'A';
    for (std::uint64_t k = 1; k < n; ++k) {
        if (chance(0.01)) chain = chain == 'A' ? 'B' : 'A';
        r[k].chain_id = std::string(1, chain);
        if (chance(0.01)) r[k].break_flag = kBreakSameChain;
    }
    const double energies[] = {-3.0, -1.0, -0.6, -0.51, -0.5, -0.2};
    auto bond = [&](std::uint64_t d, std::uint64_t a) {
        const double e = energies[pick(0, 5)];
        if (chance(0.9)) r[d].donor_bonds[pick(0, 1)] = HBondSlot{a, e};
        if (chance(0.9)) r[a].acceptor_bonds[pick(0, 1)] = HBondSlot{d, e};
    };
    for (std::uint64_t run = pick(3, 14); run > 0; --run) {
        const bool par = chance(0.5);
        std::uint64_t i = pick(1, n - 12), j = pick(i + 4, n - 2);
        for (std::uint64_t len = pick(1, 7); len > 0 && i + 1 < n && j >= 1 && j + 1 < n && i >= 1; --len) {
            // One of the bond patterns of the bridge kind; the last two antiparallel ones share
            // their bonds but are read from different sides.
            const std::uint64_t pattern = pick(0, 1);
            if (par && pattern == 0) {
                bond(i + 1, j);
                bond(j, i - 1);
            } else if (par) {
                bond(j + 1, i);
                bond(i, j - 1);
            } else if (pattern == 0) {
                bond(i + 1, j - 1);
                bond(j + 1, i - 1);
            } else {
                bond(j, i);
                bond(i, j);
            }
            // Mostly consecutive bridges, sometimes a bulge on one strand or both.
            const std::uint64_t skip1 = chance(0.2) ? pick(1, 5) : 1, skip2 = chance(0.2) ? pick(1, 5) : 1;
            i += skip1;
            if (par) {
                j += skip2;
            } else if (j < skip2 + 1) {
                break;
            } else {
                j -= skip2;
            }
        }
    }
    for (std::uint64_t i = 0; i + 1 < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) {
            if (!chance(0.05)) out.pairs.push_back({i, j});
        }
    }
    return out;
}

TEST(Strands, MatchTheLiteralAlgorithmOnRandomLadders) {
    std::mt19937 rng(2024);
    std::size_t merges = 0, shared_sheets = 0, double_partners = 0;
    for (int trial = 0; trial < 400; ++trial) {
        RandomStrands s = random_strands(rng);
        std::vector<Ladder> expected = literal::find_bridges(s.residues, s.pairs);
        std::vector<Ladder> actual = find_bridges(s.residues, s.pairs);
        ASSERT_EQ(describe(actual), describe(expected)) << "trial " << trial;
        sort_ladders(expected);
        sort_ladders(actual);
        const std::size_t before = expected.size();
        literal::merge_bulges(expected, s.residues);
        merge_bulges(actual, s.residues);
        ASSERT_EQ(describe(actual), describe(expected)) << "trial " << trial;
        merges += before - expected.size();
        literal::build_sheets(expected);
        build_sheets(actual, s.residues.size());
        ASSERT_EQ(describe(actual), describe(expected)) << "trial " << trial;
        if (!expected.empty() && expected.back().sheet < expected.size()) ++shared_sheets;
        std::vector<Residue> marked = s.residues;
        assign_strands(marked, s.pairs);
        mark_strands(expected, s.residues);
        ASSERT_EQ(describe(marked), describe(s.residues)) << "trial " << trial;
        for (const Residue& r : marked) double_partners += r.bridge_partners[1] ? 1 : 0;
    }
    // The random ladders reach the cases the faster algorithms have to get right.
    EXPECT_GT(merges, 100u);
    EXPECT_GT(shared_sheets, 50u);
    EXPECT_GT(double_partners, 100u);
}

}  // namespace
}  // namespace tarnix::core
