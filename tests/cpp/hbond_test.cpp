#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <variant>

#include "core/geometry.hpp"
#include "core/hbond.hpp"
#include "core/strand.hpp"
#include "core_fixtures.hpp"
#include "io/structure_file.hpp"

namespace tarnix::core {
namespace {

using testing::blank_chain;

// Donor N at the origin with H 1 A along x; acceptor O at x = d, C beyond it.
void place_linear_bond(Residue& donor, Residue& acceptor, float d) {
    donor.n = {0, 0, 0};
    donor.h = Point3{1, 0, 0};
    acceptor.o = {d, 0, 0};
    acceptor.c = {d + 1.23f, 0, 0};
}

double linear_energy(float d) {
    std::vector<Residue> r = blank_chain(2);
    place_linear_bond(r[0], r[1], d);
    return hbond_energy(r[0], r[1]);
}

// The shortest distance, on a fine scan, at which the linear bond has this energy.
float distance_for_energy(double energy) {
    for (float d = 2.0f; d < 50.0f; d += 0.001f) {
        if (linear_energy(d) == energy) return d;
    }
    ADD_FAILURE() << "no distance gives " << energy;
    return 0.0f;
}

TEST(HBondEnergy, RoundsToThousandthsAndClampsClashes) {
    const double e = linear_energy(2.9f);
    EXPECT_LT(e, -0.5);
    EXPECT_EQ(std::round(e * 1000.0) / 1000.0, e);
    EXPECT_EQ(linear_energy(0.4f), -9.9);
    EXPECT_EQ(linear_energy(std::nanf("")), -9.9);
}

TEST(HBondEnergy, ProlineNeverDonatesAndMissingHydrogenUsesNitrogen) {
    std::vector<Residue> r = blank_chain(2);
    place_linear_bond(r[0], r[1], 2.9f);
    r[1].amino_acid = 'P';
    EXPECT_LT(hbond_energy(r[0], r[1]), -0.5);
    r[0].amino_acid = 'P';
    EXPECT_EQ(hbond_energy(r[0], r[1]), 0.0);
    r[0].amino_acid = 'A';
    r[0].h.reset();
    EXPECT_EQ(hbond_energy(r[0], r[1]), 0.0);
    r[1].c = {0.3f, 0, 0};
    EXPECT_EQ(hbond_energy(r[0], r[1]), -9.9);
}

// Residue 0 donates to residue 2 with the given energy; nothing else bonds.
Structure linear_bond_structure(double energy) {
    Structure s;
    s.residues = blank_chain(3);
    place_linear_bond(s.residues[0], s.residues[2], distance_for_energy(energy));
    s.residues[1].ca = {0, 0, 30};
    return s;
}

TEST(HydrogenBonds, CandidateCutoffIsStrict) {
    Structure at_cutoff = linear_bond_structure(-0.010);
    find_hydrogen_bonds(at_cutoff.residues);
    EXPECT_FALSE(at_cutoff.residues[0].donor_bonds[0].partner.has_value());

    Structure beyond = linear_bond_structure(-0.011);
    find_hydrogen_bonds(beyond.residues);
    EXPECT_EQ(beyond.residues[0].donor_bonds[0].partner, 2u);
    EXPECT_EQ(beyond.residues[2].acceptor_bonds[0].energy, -0.011);
    EXPECT_FALSE(nh_to_o(beyond.residues, 0, 2));
}

// Every atom on one point: every examined direction clashes at -9.9, so the
// slots show the order in which candidates were generated.
TEST(HydrogenBonds, GenerationOrderDecidesEqualEnergies) {
    Structure s;
    s.residues = blank_chain(5);
    s.residues[1].amino_acid = 'P';
    // Too short for a bridge: no pair to search.
    EXPECT_TRUE(find_hydrogen_bonds(s.residues).empty());
    const auto& r = s.residues;
    auto partners = [](const std::array<HBondSlot, 2>& slots) {
        return std::vector<std::optional<std::uint64_t>>{slots[0].partner, slots[1].partner};
    };
    using P = std::vector<std::optional<std::uint64_t>>;
    EXPECT_EQ(partners(r[0].donor_bonds), (P{2, 3}));
    EXPECT_EQ(partners(r[1].donor_bonds), (P{std::nullopt, std::nullopt}));
    EXPECT_EQ(partners(r[2].donor_bonds), (P{4, std::nullopt}));
    EXPECT_EQ(partners(r[4].donor_bonds), (P{0, 1}));
    EXPECT_EQ(partners(r[0].acceptor_bonds), (P{3, 4}));
    EXPECT_EQ(partners(r[1].acceptor_bonds), (P{4, std::nullopt}));
    EXPECT_EQ(partners(r[2].acceptor_bonds), (P{0, std::nullopt}));
    EXPECT_EQ(partners(r[4].acceptor_bonds), (P{0, 2}));
}

TEST(HydrogenBonds, BestTwoPerSideAndTheBondTests) {
    std::vector<Residue> r = blank_chain(12);
    for (const HBondCandidate& c : std::vector<HBondCandidate>{{1, 0, -1.0},
                                                               {2, 0, -2.0},
                                                               {3, 0, -1.5},  // three donors on acceptor 0
                                                               {5, 6, -1.234},
                                                               {5, 7, -1.234},
                                                               {5, 8, -1.234},  // equal energies for donor 5
                                                               {10, 11, -0.5}}) {
        offer_candidate(r, c);
    }
    EXPECT_EQ(r[0].acceptor_bonds[0].partner, 2u);
    EXPECT_EQ(r[0].acceptor_bonds[1].partner, 3u);
    EXPECT_TRUE(nh_to_o(r, 1, 0));
    EXPECT_FALSE(o_from_nh(r, 0, 1));
    EXPECT_TRUE(o_from_nh(r, 0, 3));
    EXPECT_EQ(r[5].donor_bonds[0].partner, 6u);
    EXPECT_EQ(r[5].donor_bonds[1].partner, 7u);
    EXPECT_EQ(r[10].donor_bonds[0].energy, -0.5);
    EXPECT_FALSE(nh_to_o(r, 10, 11));
    EXPECT_FALSE(o_from_nh(r, 11, 10));
}

TEST(HydrogenBonds, FoundAcrossChainsAndBreaks) {
    Structure s = linear_bond_structure(-2.0);
    s.residues[1].chain_id = std::string(1, 'B');
    s.residues[2].chain_id = std::string(1, 'C');
    s.residues[2].break_flag = kBreakNewChain;
    find_hydrogen_bonds(s.residues);
    EXPECT_TRUE(nh_to_o(s.residues, 0, 2));
    EXPECT_TRUE(o_from_nh(s.residues, 2, 0));
}

std::vector<std::tuple<std::vector<std::uint64_t>, std::vector<std::uint64_t>, BridgeKind>> ladders_of(
    const std::vector<Ladder>& ladders) {
    std::vector<std::tuple<std::vector<std::uint64_t>, std::vector<std::uint64_t>, BridgeKind>> out;
    for (const Ladder& l : ladders) out.emplace_back(l.strand1, l.strand2, l.kind);
    return out;
}

// The bridge search given only the pairs near bonds finds what it finds given every close pair,
// on crowded residues with random slots (bonds both passing and too weak, seen from one side).
TEST(HydrogenBonds, BridgeSearchPairsLoseNoBridge) {
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> box(0.0f, 14.0f);
    std::uniform_int_distribution<int> coin(0, 3);
    const double energies[] = {-3.0, -0.8, -0.5, -0.3};
    std::size_t bridges = 0;
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<Residue> r = blank_chain(60);
        for (Residue& residue : r) residue.ca = {box(rng), box(rng), box(rng)};
        auto bond = [&](std::uint64_t d, std::uint64_t a) {
            const double e = energies[coin(rng)];
            if (coin(rng) != 0) r[d].donor_bonds[coin(rng) % 2] = HBondSlot{a, e};
            if (coin(rng) != 0) r[a].acceptor_bonds[coin(rng) % 2] = HBondSlot{d, e};
        };
        // The two bonds of one of the four bridge patterns, between i and j.
        std::uniform_int_distribution<std::uint64_t> pick(1, r.size() - 7);
        for (int k = 0; k < 40; ++k) {
            const std::uint64_t i = pick(rng), j = i + 4 + pick(rng) % (r.size() - i - 5);
            switch (coin(rng)) {
                case 0: bond(i + 1, j), bond(j, i - 1); break;
                case 1: bond(j + 1, i), bond(i, j - 1); break;
                case 2: bond(i + 1, j - 1), bond(j + 1, i - 1); break;
                default: bond(j, i), bond(i, j);
            }
        }
        std::vector<ResiduePair> close;
        ClosePairFinder(r).for_each([&](ResiduePair pair) { close.push_back(pair); });
        std::sort(close.begin(), close.end());
        const auto expected = ladders_of(find_bridges(r, close));
        ASSERT_EQ(ladders_of(find_bridges(r, bridge_search_pairs(r))), expected) << "trial " << trial;
        bridges += expected.size();
    }
    EXPECT_GT(bridges, 200u);
}

// The phase written out literally: every pair, scalar energies, a stable sort, then the walk.
namespace literal {

float length_of(Point3 a, Point3 b) {
    const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
    return std::sqrt((dx * dx + dy * dy) + dz * dz);
}

double energy(const Residue& d, const Residue& a) {
    if (d.amino_acid == 'P') return 0.0;
    const Point3 h = d.h.value_or(d.n);
    const float r_ho = length_of(h, a.o), r_hc = length_of(h, a.c), r_nc = length_of(d.n, a.c),
                r_no = length_of(d.n, a.o);
    if (r_ho < 0.5f || r_hc < 0.5f || r_nc < 0.5f || r_no < 0.5f) return -9.9;
    const double s = (1.0 / double(r_no) + 1.0 / double(r_hc)) - 1.0 / double(r_ho) - 1.0 / double(r_nc);
    const double e = std::round(s * 27.888 * 1000.0) / 1000.0;
    return std::isnan(e) ? -9.9 : std::max(e, -9.9);
}

void find_bonds(std::vector<Residue>& r) {
    std::vector<HBondCandidate> candidates;
    for (std::uint64_t i = 0; i < r.size(); ++i) {
        for (std::uint64_t j = i + 2; j < r.size(); ++j) {
            const Point3 d = r[i].ca - r[j].ca;
            if (!((d.x * d.x + d.y * d.y) + d.z * d.z <= 81.0f)) continue;
            if (const double e = energy(r[i], r[j]); e < -0.01) candidates.push_back({i, j, e});
            if (const double e = energy(r[j], r[i]); j >= i + 3 && e < -0.01) candidates.push_back({j, i, e});
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](auto& a, auto& b) { return a.energy < b.energy; });
    auto offer = [](std::array<HBondSlot, 2>& slots, std::uint64_t partner, double e) {
        if (e < slots[0].energy) {
            slots[1] = slots[0];
            slots[0] = {partner, e};
        } else if (e < slots[1].energy) {
            slots[1] = {partner, e};
        }
    };
    for (Residue& residue : r) residue.donor_bonds = residue.acceptor_bonds = {};
    for (const HBondCandidate& c : candidates) {
        offer(r[c.donor].donor_bonds, c.acceptor, c.energy);
        offer(r[c.acceptor].acceptor_bonds, c.donor, c.energy);
    }
}

}  // namespace literal

std::vector<Residue> real_residues(const std::string& name) {
    auto read = io::read_structure_file(std::string(TARNIX_TEST_DATA) + "/" + name);
    std::vector<Residue> r = std::move(std::get<Structure>(read).residues);
    detect_chain_breaks(r);
    compute_backbone_geometry(r);
    return r;
}

// Atoms of a few hundred residues on a coarse lattice in a small box: equal energies, clashes,
// prolines, absent hydrogens and a coordinate that is not a number, with every pair close.
std::vector<Residue> crowded_residues(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> cell(0, 12);
    std::uniform_int_distribution<int> die(0, 9);
    auto point = [&] { return Point3{cell(rng) * 0.5f, cell(rng) * 0.5f, cell(rng) * 0.5f}; };
    std::vector<Residue> r = blank_chain(300);
    for (Residue& residue : r) {
        residue.n = point(), residue.ca = point(), residue.c = point(), residue.o = point();
        if (die(rng) > 1) residue.h = point();
        if (die(rng) == 0) residue.amino_acid = 'P';
    }
    r[17].o.y = std::numeric_limits<float>::quiet_NaN();
    return r;
}

std::uint64_t bits(double e) { return std::bit_cast<std::uint64_t>(e); }

class BondsAsWrittenOut : public ::testing::TestWithParam<std::string> {};

TEST_P(BondsAsWrittenOut, SlotsAndEnergiesAreIdenticalToTheBit) {
    const std::string& input = GetParam();
    std::vector<Residue> actual = input.starts_with("crowded") ? crowded_residues(input.back()) : real_residues(input);
    ASSERT_GT(actual.size(), 20u);
    std::vector<Residue> expected = actual;
    find_hydrogen_bonds(actual);
    literal::find_bonds(expected);
    for (std::size_t k = 0; k < actual.size(); ++k) {
        for (std::size_t s = 0; s < 2; ++s) {
            EXPECT_EQ(actual[k].donor_bonds[s].partner, expected[k].donor_bonds[s].partner) << k;
            EXPECT_EQ(bits(actual[k].donor_bonds[s].energy), bits(expected[k].donor_bonds[s].energy)) << k;
            EXPECT_EQ(actual[k].acceptor_bonds[s].partner, expected[k].acceptor_bonds[s].partner) << k;
            EXPECT_EQ(bits(actual[k].acceptor_bonds[s].energy), bits(expected[k].acceptor_bonds[s].energy)) << k;
        }
        const Residue& partner = actual[(k * 7 + 3) % actual.size()];
        EXPECT_EQ(bits(hbond_energy(actual[k], partner)), bits(literal::energy(actual[k], partner))) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(RealAndCrowded, BondsAsWrittenOut,
                         ::testing::Values("1ubq.pdb", "4hhb.pdb", "1ejg.pdb", "1aki.cif", "crowded1", "crowded2"));

}  // namespace
}  // namespace tarnix::core
