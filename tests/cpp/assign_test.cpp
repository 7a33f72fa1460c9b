#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <limits>
#include <optional>
#include <random>
#include <type_traits>
#include <variant>

#include "core/assign.hpp"
#include "core/codes.hpp"
#include "core/geometry.hpp"
#include "core/strand.hpp"
#include "core_fixtures.hpp"
#include "io/structure_file.hpp"

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
    const std::vector<std::pair<double, double>> motif{{-80, 80},  {60, 40},   {-150, -60},
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
                              -std::numeric_limits<float>::infinity(), 1e30f,
                              -std::numeric_limits<float>::max(),      0.0f};
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

// The phases one by one, each reading the residue records as they stand.
void assign_phase_by_phase(Structure& s, std::uint64_t ppii_stretch) {
    for (std::size_t k = 0; k < s.residues.size(); ++k) s.residues[k].index = k;
    group_chains(s);
    detect_chain_breaks(s.residues);
    compute_backbone_geometry(s.residues);
    assign_strands(s.residues, find_hydrogen_bonds(s.residues));
    find_turns(s.residues);
    mark_bends(s.residues);
    assign_helices(s.residues);
    assign_ppii(s.residues, ppii_stretch);
    assign_turns_and_bends(s.residues);
}

template <typename T>
std::optional<std::uint64_t> bits_of(const std::optional<T>& v) {
    if (!v) return std::nullopt;
    return std::bit_cast<std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>(*v);
}

void expect_same_residue(const Residue& a, const Residue& b) {
    EXPECT_EQ(a.index, b.index);
    EXPECT_EQ(a.break_flag, b.break_flag);
    for (auto angle :
         {&Residue::phi, &Residue::psi, &Residue::omega, &Residue::kappa, &Residue::alpha, &Residue::tco}) {
        EXPECT_EQ(bits_of(a.*angle), bits_of(b.*angle));
    }
    for (std::size_t s = 0; s < 2; ++s) {
        EXPECT_EQ(a.donor_bonds[s].partner, b.donor_bonds[s].partner);
        EXPECT_EQ(a.acceptor_bonds[s].partner, b.acceptor_bonds[s].partner);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(a.donor_bonds[s].energy),
                  std::bit_cast<std::uint64_t>(b.donor_bonds[s].energy));
        EXPECT_EQ(a.bridge_partners[s].has_value(), b.bridge_partners[s].has_value());
        if (a.bridge_partners[s] && b.bridge_partners[s]) {
            EXPECT_EQ(a.bridge_partners[s]->partner, b.bridge_partners[s]->partner);
            EXPECT_EQ(a.bridge_partners[s]->ladder, b.bridge_partners[s]->ladder);
        }
    }
    EXPECT_EQ(a.sheet, b.sheet);
    EXPECT_EQ(a.turn_flags, b.turn_flags);
    EXPECT_EQ(a.ppii_flag, b.ppii_flag);
    EXPECT_EQ(a.bend, b.bend);
    EXPECT_EQ(a.ss, b.ss);
}

struct WholeCase {
    const char* file;
    std::size_t relabel_every;  // 0: chain ids as read; else a new id every that many residues
    std::uint64_t ppii_stretch;
};

class WholeAssignment : public ::testing::TestWithParam<WholeCase> {};

// assign_structure hands the unbroken runs, the passing bonds and the codes from phase to phase
// in tables of its own; the result must be what each phase gives on the residue records.
TEST_P(WholeAssignment, MatchesThePhasesRunOneByOne) {
    const WholeCase& c = GetParam();
    auto read = io::read_structure_file(std::string(TARNIX_TEST_DATA) + "/" + c.file);
    Structure actual = std::move(std::get<Structure>(read));
    if (c.relabel_every != 0) {
        const char* ids[] = {"A", "A", "AB", "", "B"};
        for (std::size_t k = 0; k < actual.residues.size(); ++k)
            actual.residues[k].chain_id = ids[k / c.relabel_every % 5];
        group_chains(actual);
    }
    Structure expected = actual;
    AssignOptions options;
    options.calculate_sasa = false;
    options.ppii_stretch = c.ppii_stretch;
    assign_structure(actual, options);
    assign_phase_by_phase(expected, c.ppii_stretch);
    ASSERT_EQ(actual.residues.size(), expected.residues.size());
    ASSERT_EQ(actual.chains.size(), expected.chains.size());
    for (std::size_t k = 0; k < actual.chains.size(); ++k) {
        EXPECT_EQ(actual.chains[k].chain_id, expected.chains[k].chain_id);
        EXPECT_EQ(actual.chains[k].start_index, expected.chains[k].start_index);
    }
    for (std::size_t k = 0; k < actual.residues.size(); ++k) {
        SCOPED_TRACE(k);
        expect_same_residue(actual.residues[k], expected.residues[k]);
    }
    EXPECT_NE(codes(actual.residues).find_first_of("HE"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(RealFiles, WholeAssignment,
                         ::testing::Values(WholeCase{"4hhb.pdb", 0, 3}, WholeCase{"1ake.cif", 0, 3},
                                           WholeCase{"1ubq.pdb", 0, 2}, WholeCase{"4hhb.pdb", 7, 3},
                                           WholeCase{"1ake.cif", 23, 1}, WholeCase{"1d3z.pdb", 0, 3}),
                         [](const auto& info) {
                             std::string name = info.param.file;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name + "_relabel" + std::to_string(info.param.relabel_every) + "_ppii" +
                                    std::to_string(info.param.ppii_stretch);
                         });

}  // namespace
}  // namespace tarnix::core
