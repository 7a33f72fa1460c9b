#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "core/geometry.hpp"
#include "core_fixtures.hpp"

namespace tarnix::core {
namespace {

using testing::blank_chain;

struct DihedralCase {
    Point3 p1, p2, p3, p4;
    float expected;
};

class DihedralAngle : public ::testing::TestWithParam<DihedralCase> {};

TEST_P(DihedralAngle, FollowsSignConventionAndMarksUndefined) {
    const DihedralCase& c = GetParam();
    EXPECT_FLOAT_EQ(dihedral_angle(c.p1, c.p2, c.p3, c.p4), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, DihedralAngle,
                         ::testing::Values(DihedralCase{{1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, 1, 1}, 90.0f},
                                           DihedralCase{{1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, -1, 1}, -90.0f},
                                           DihedralCase{{1, 0, 0}, {0, 0, 0}, {0, 0, 1}, {-1, 0, 1}, 180.0f},
                                           DihedralCase{{0, 0, 0}, {0, 0, 0}, {0, 0, 1}, {0, 1, 1}, kUndefinedAngle},
                                           DihedralCase{{1, 0, 0}, {0, 0, 1}, {0, 0, 1}, {0, 1, 1}, kUndefinedAngle}));

// Residues whose C(i)-N(i+1) distance is `gap`, along x.
std::vector<Residue> pair_with_gap(float gap, const char* second_chain) {
    std::vector<Residue> r = blank_chain(2);
    r[1].chain_id = second_chain;
    r[0].n = {-2.0f, 1.0f, 0.5f};
    r[0].ca = {-1.0f, 1.0f, 0};
    r[1].n = {gap, 0, 0};
    r[1].ca = {gap + 1.0f, 1.0f, 0};
    r[1].h = Point3{9, 9, 9};
    return r;
}

struct BreakCase {
    float gap;
    const char* second_chain;
    std::uint8_t flag;
};

class ChainBreak : public ::testing::TestWithParam<BreakCase> {};

TEST_P(ChainBreak, FlagsAndWhatABreakSuppresses) {
    const BreakCase& c = GetParam();
    std::vector<Residue> r = pair_with_gap(c.gap, c.second_chain);
    detect_chain_breaks(r);
    compute_backbone_geometry(r);
    EXPECT_EQ(r[1].break_flag, c.flag);
    const bool broken = c.flag != kNoBreak;
    EXPECT_EQ(r[1].phi.has_value(), !broken);
    EXPECT_EQ(r[1].tco.has_value(), !broken);
    EXPECT_EQ(r[0].psi.has_value(), !broken);
    EXPECT_EQ(r[0].omega.has_value(), !broken);
    // A broken residue keeps the producer's hydrogen.
    EXPECT_EQ(r[1].h->x == 9.0f, broken);
}

INSTANTIATE_TEST_SUITE_P(Cases, ChainBreak,
                         ::testing::Values(BreakCase{2.5f, "A", kNoBreak}, BreakCase{2.6f, "A", kBreakSameChain},
                                           BreakCase{2.6f, "B", kBreakNewChain}, BreakCase{1.33f, "B", kNoBreak}));

TEST(BackboneGeometry, SingleResidueGetsNothing) {
    std::vector<Residue> r = blank_chain(1);
    detect_chain_breaks(r);
    compute_backbone_geometry(r);
    EXPECT_FALSE(r[0].h || r[0].phi || r[0].psi || r[0].omega || r[0].kappa || r[0].alpha || r[0].tco);
}

TEST(BackboneGeometry, IdealHelixAnglesAndHydrogen) {
    std::vector<Residue> r = testing::uniform_backbone(8, -57.0, -47.0).residues;
    compute_backbone_geometry(r);
    EXPECT_FALSE(r[0].h.has_value());
    EXPECT_NEAR(*r[3].phi, -57.0f, 1e-3f);
    EXPECT_NEAR(*r[3].psi, -47.0f, 1e-3f);
    EXPECT_NEAR(std::fabs(*r[3].omega), 180.0f, 1e-3f);
    EXPECT_NEAR(*r[3].alpha, 50.0f, 5.0f);
    EXPECT_GT(*r[3].tco, 0.9f);
    EXPECT_FALSE(r[7].psi.has_value());
    EXPECT_FALSE(r[1].kappa.has_value());
    EXPECT_FALSE(r[6].alpha.has_value());
    // The hydrogen is 1 A from N and equally inclined to CA->N and C(prev)->N.
    const Point3 nh = *r[3].h - r[3].n;
    EXPECT_NEAR(length(nh), 1.0f, 1e-5f);
    EXPECT_NEAR(dot(nh, (r[3].n - r[3].ca) / distance(r[3].n, r[3].ca)),
                dot(nh, (r[3].n - r[2].c) / distance(r[3].n, r[2].c)), 1e-5f);
}

TEST(BackboneGeometry, DegenerateHydrogenAndCarbonylSitOnFallbacks) {
    std::vector<Residue> r = blank_chain(2);
    r[0].h = Point3{5, 5, 5};
    r[1].n = r[1].ca = r[0].c = {1, 2, 3};
    r[1].c = r[1].o = {4, 4, 4};
    compute_backbone_geometry(r);
    EXPECT_EQ(r[0].h->x, 5.0f);
    ASSERT_TRUE(r[1].h.has_value());
    EXPECT_EQ(r[1].h->x, 1.0f);
    EXPECT_EQ(r[1].tco, 0.0f);
}

// Five CA atoms; kappa of the middle one, with the outer two at the given points.
std::optional<float> kappa_for(Point3 first, Point3 last, const char* last_chain = "A") {
    std::vector<Residue> r = blank_chain(5);
    for (std::size_t i = 0; i < 5; ++i) r[i].ca = {static_cast<float>(i), 0, 0};
    r[0].ca = first;
    r[4].ca = last;
    r[4].chain_id = last_chain;
    compute_backbone_geometry(r);
    return r[2].kappa;
}

TEST(BackboneGeometry, KappaExtremesAndChainCondition) {
    EXPECT_FLOAT_EQ(*kappa_for({0, 0, 0}, {4, 0, 0}), 0.0f);
    EXPECT_FLOAT_EQ(*kappa_for({0, 0, 0}, {0, 0, 0}), 180.0f);
    EXPECT_FALSE(kappa_for({2, 0, 0}, {4, 0, 0}).has_value());
    EXPECT_FALSE(kappa_for({0, 0, 0}, {4, 0, 0}, "B").has_value());
}

// A chain id change without a break: phi is taken across it, but no CA window may straddle it.
TEST(BackboneGeometry, ChainChangeEndsTheCaWindows) {
    std::vector<Residue> r = testing::uniform_backbone(10, -57.0, -47.0).residues;
    for (std::size_t i = 5; i < r.size(); ++i) r[i].chain_id = std::string(1, 'B');
    detect_chain_breaks(r);
    compute_backbone_geometry(r);
    EXPECT_EQ(r[5].break_flag, kNoBreak);
    EXPECT_TRUE(r[5].phi.has_value());
    std::string kappa, alpha;
    for (const Residue& x : r) {
        kappa += x.kappa ? 'k' : '-';
        alpha += x.alpha ? 'a' : '-';
    }
    EXPECT_EQ(kappa, "--k----k--");
    EXPECT_EQ(alpha, "-aa---aa--");
}

// Breaks told by the chains, against breaks told by comparing chain ids: the same flags and
// the same unbroken runs, over ids of different lengths, empty ones, and breaks at a chain change.
TEST(ChainBreak, ChainsTellTheSameBreaksAsChainIds) {
    const std::vector<std::string> ids{"A", "A", "AB", "AB", "", "", "B", "B", "B", "BA", "A", "A"};
    Structure s = testing::uniform_backbone(ids.size(), -120.0, 130.0);
    for (std::size_t k = 0; k < ids.size(); ++k) s.residues[k].chain_id = ids[k];
    for (const std::size_t far : {3u, 6u, 8u}) s.residues[far].n.x += 5.0f;  // within a chain, at a change, within
    number_and_group(s);
    std::vector<Residue> compared = s.residues;
    detect_chain_breaks(compared);
    const Segments expected(compared);
    const Segments actual = detect_chain_breaks(s.residues, s.chains);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(s.residues[i].break_flag, compared[i].break_flag) << i;
        for (std::size_t j = i; j < ids.size(); ++j)
            EXPECT_EQ(actual.unbroken(i, j), expected.unbroken(i, j)) << i << ' ' << j;
    }
    EXPECT_EQ(s.residues[6].break_flag, kBreakNewChain);
    EXPECT_EQ(s.residues[8].break_flag, kBreakSameChain);
}

}  // namespace
}  // namespace tarnix::core
