#include "core/hbond.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "core/geometry.hpp"

namespace tarnix::core {
namespace {

constexpr double kCouplingConstant = 27.888;
constexpr double kClashEnergy = -9.9;
constexpr float kClashDistance = 0.5f;

// Fills the slot pair with (partner, energy) when it beats slot 0 or slot 1;
// ties keep the slot's earlier occupant.
void offer_bond(std::array<HBondSlot, 2>& slots, std::uint64_t partner, double energy) {
    if (energy < slots[0].energy) {
        slots[1] = slots[0];
        slots[0] = HBondSlot{partner, energy};
    } else if (energy < slots[1].energy) {
        slots[1] = HBondSlot{partner, energy};
    }
}

bool slots_hold_bond(const std::array<HBondSlot, 2>& slots, std::uint64_t partner) {
    for (const HBondSlot& slot : slots) {
        if (slot.partner == partner && slot.energy < kBondThreshold) return true;
    }
    return false;
}

void clear_bond_slots(std::vector<Residue>& residues) {
    for (Residue& r : residues) {
        r.donor_bonds = {};
        r.acceptor_bonds = {};
    }
}

// A bond either way between a residue at most one position from x and one at most one from y.
void add_pairs_around(std::vector<ResiduePair>& pairs, const std::vector<Residue>& residues, std::uint64_t x,
                      std::uint64_t y) {
    const std::uint64_t n = residues.size();
    for (std::uint64_t i = x == 0 ? 0 : x - 1; i <= x + 1 && i < n; ++i) {
        for (std::uint64_t j = y == 0 ? 0 : y - 1; j <= y + 1 && j < n; ++j) {
            if (i == j) continue;
            const ResiduePair pair{std::min(i, j), std::max(i, j)};
            if (cas_are_close(residues[pair.i], residues[pair.j])) pairs.push_back(pair);
        }
    }
}

void add_pairs_around_bonds(std::vector<ResiduePair>& pairs, const std::vector<Residue>& residues,
                            std::uint64_t r, const std::array<HBondSlot, 2>& slots) {
    for (const HBondSlot& slot : slots) {
        if (slot.partner && slot.energy < kBondThreshold) add_pairs_around(pairs, residues, r, *slot.partner);
    }
}

}  // namespace

double hbond_energy(const Residue& donor, const Residue& acceptor) {
    if (donor.amino_acid == 'P') return 0.0;
    const Point3 h = donor.h.value_or(donor.n);
    const float r_ho = distance(h, acceptor.o);
    const float r_hc = distance(h, acceptor.c);
    const float r_nc = distance(donor.n, acceptor.c);
    const float r_no = distance(donor.n, acceptor.o);
    if (r_ho < kClashDistance || r_hc < kClashDistance || r_nc < kClashDistance || r_no < kClashDistance) {
        return kClashEnergy;
    }
    const double s = (1.0 / static_cast<double>(r_no) + 1.0 / static_cast<double>(r_hc)) -
                     1.0 / static_cast<double>(r_ho) - 1.0 / static_cast<double>(r_nc);
    const double energy = std::round(s * kCouplingConstant * 1000.0) / 1000.0;
    if (std::isnan(energy)) return kClashEnergy;
    return std::max(energy, kClashEnergy);
}

void offer_candidate(std::vector<Residue>& residues, const HBondCandidate& candidate) {
    offer_bond(residues[candidate.donor].donor_bonds, candidate.acceptor, candidate.energy);
    offer_bond(residues[candidate.acceptor].acceptor_bonds, candidate.donor, candidate.energy);
}

std::vector<ResiduePair> bridge_search_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    for (std::uint64_t r = 0; r < residues.size(); ++r) {
        add_pairs_around_bonds(pairs, residues, r, residues[r].donor_bonds);
        add_pairs_around_bonds(pairs, residues, r, residues[r].acceptor_bonds);
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const ResiduePair& a, const ResiduePair& b) { return a.i != b.i ? a.i < b.i : a.j < b.j; });
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    return pairs;
}

std::vector<ResiduePair> find_hydrogen_bonds(Structure& structure) {
    std::vector<Residue>& residues = structure.residues;
    clear_bond_slots(residues);
    group_chains(structure);
    auto try_bond = [&](std::uint64_t donor, std::uint64_t acceptor) {
        const double energy = hbond_energy(residues[donor], residues[acceptor]);
        if (energy < kCandidateCutoff) offer_candidate(residues, {donor, acceptor, energy});
    };
    ClosePairFinder(residues).for_each([&](ResiduePair pair) {
        // Direct neighbours never bond, and at separation two only the lower residue donates.
        if (pair.j >= pair.i + 2) try_bond(pair.i, pair.j);
        if (pair.j >= pair.i + 3) try_bond(pair.j, pair.i);
    });
    return bridge_search_pairs(residues);
}

bool nh_to_o(const std::vector<Residue>& residues, std::uint64_t d, std::uint64_t a) {
    return slots_hold_bond(residues[d].donor_bonds, a);
}

bool o_from_nh(const std::vector<Residue>& residues, std::uint64_t a, std::uint64_t d) {
    return slots_hold_bond(residues[a].acceptor_bonds, d);
}

}  // namespace tarnix::core
