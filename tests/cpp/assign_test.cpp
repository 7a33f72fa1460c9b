#include <gtest/gtest.h>

#include <limits>
#include <random>

#include "core/assign.hpp"
#include "core/codes.hpp"
#include "core_fixtures.hpp"

namespace tarnix::core {
namespace {

using testing::blank_chain;
using testing::codes;

std::string assigned(Structure s) {
    AssignOptions options;
    options.calculate_sasa = false;
    assign_structure(s, options);
    return codes(s.residues);
}

TEST(AssignStructure, EmptyAndTinyStructures) {
    Structure empty;
    empty.id = "kept";
    assign_structure(empty, AssignOptions{});
    EXPECT_EQ(empty.id, "kept");
    EXPECT_TRUE(empty.residues.empty() && empty.chains.empty());
    EXPECT_EQ(assigned(testing::uniform_backbone(1, -57.0, -47.0)), " ");
    EXPECT_EQ(assigned(testing::uniform_backbone(2, -57.0, -47.0)), "  ");
}

struct IdealCase {
    const char* name;
    double phi, psi;
    std::string expected;
};

class IdealBackbone : public ::testing::TestWithParam<IdealCase> {};

TEST_P(IdealBackbone, GivesItsCode) {
    EXPECT_EQ(assigned(testing::uniform_backbone(16, GetParam().phi, GetParam().psi)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, IdealBackbone,
                         ::testing::Values(IdealCase{"alpha", -57.0, -47.0, " HHHHHHHHHHHHHH "},
                                           IdealCase{"three_ten", -49.0, -26.0, " GGGGGGGGGGGGGG "},
                                           IdealCase{"polyproline", -75.0, 145.0, " PPPPPPPPPPPPPP "}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AssignStructure, IdealStrandPairs) {
    Structure anti = testing::strand_pair(8, false);
    assign_structure(anti, AssignOptions{});
    EXPECT_EQ(codes(anti.residues), "  EEEEE   EEEEE ");
    EXPECT_EQ(anti.residues[8].break_flag, kBreakSameChain);
    EXPECT_EQ(anti.residues[4].bridge_partners[0]->partner, 12u);
    EXPECT_FALSE(anti.residues[4].bridge_partners[0]->parallel);

    Structure par = testing::strand_pair(8, true);
    assign_structure(par, AssignOptions{});
    EXPECT_EQ(codes(par.residues), "   EEEE    EEEE ");
    EXPECT_TRUE(par.residues[4].bridge_partners[0]->parallel);
}

TEST(AssignStructure, CoilHasNoHelixOrStrand) {
    const std::vector<std::pair<double, double>> motif{{-80, 80},   {60, 40},    {-150, -60},
                                                       {-70, 160}, {80, -170}, {-100, 10}};
    std::vector<std::pair<double, double>> angles;
    for (int k = 0; k < 4; ++k) angles.insert(angles.end(), motif.begin(), motif.end());
    const std::string ss = assigned(testing::to_structure(testing::ideal_backbone(angles)));
    EXPECT_EQ(ss.find_first_of("HGIEB"), std::string::npos) << ss;
}

struct TurnBendCase {
    std::string preset;
    std::string turn3_starts;  // 's' where a 3-turn starts
    std::string bends;         // 'b' where bend is set
    std::string expected;
};

class TurnsAndBends : public ::testing::TestWithParam<TurnBendCase> {};

TEST_P(TurnsAndBends, FillOnlyBlankInnerResidues) {
    const TurnBendCase& c = GetParam();
    std::vector<Residue> r = blank_chain(c.preset.size());
    for (std::size_t k = 0; k < r.size(); ++k) {
        r[k].ss = c.preset[k];
        if (c.turn3_starts[k] == 's') r[k].turn_flags[turn_slot(3)] = HelixFlag::start;
        r[k].bend = c.bends[k] == 'b';
    }
    assign_turns_and_bends(r);
    EXPECT_EQ(codes(r), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TurnsAndBends,
                         ::testing::Values(TurnBendCase{"        ", "  s     ", "        ", "   TT   "},
                                           TurnBendCase{"        ", "  s     ", "   b b  ", "   TTS  "},
                                           TurnBendCase{"        ", "s    s  ", "b      b", " TT   T "},
                                           TurnBendCase{"   P    ", "  s     ", "        ", "   PT   "}));

TEST(AssignStructure, BendIsStrictlyAboveSeventyDegrees) {
    std::vector<Residue> r = blank_chain(3);
    r[0].kappa = 70.0f;
    r[1].kappa = 70.001f;
    mark_bends(r);
    EXPECT_FALSE(r[0].bend);
    EXPECT_TRUE(r[1].bend);
    EXPECT_FALSE(r[2].bend);
}

TEST(AssignStructure, SurvivesNonFiniteAndAbsurdCoordinates) {
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), 1e30f, -std::numeric_limits<float>::max(), 0.0f};
    Structure s = testing::uniform_backbone(60, -57.0, -47.0);
    std::mt19937 rng(3);
    for (Residue& r : s.residues) {
        for (Point3* p : {&r.n, &r.ca, &r.c, &r.o}) {
            if (rng() % 4 == 0) p->x = specials[rng() % 6];
        }
    }
    EXPECT_EQ(assigned(s).size(), 60u);
}

TEST(AssignStructure, ThreeStateReduction) {
    std::string reduced;
    for (char code : std::string("HGIEBPTS ")) reduced += code_c3(code);
    EXPECT_EQ(reduced, "HHHEE----");
}

}  // namespace
}  // namespace tarnix::core
