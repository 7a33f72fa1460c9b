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

void add_candidate(std::vector<HBondCandidate>& candidates, const std::vector<Residue>& residues,
                   std::uint64_t donor, std::uint64_t acceptor) {
    const double energy = hbond_energy(residues[donor], residues[acceptor]);
    if (energy < kCandidateCutoff) candidates.push_back({donor, acceptor, energy});
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

std::vector<HBondCandidate> collect_candidates(const std::vector<Residue>& residues,
                                               const std::vector<ResiduePair>& close_pairs) {
    std::vector<HBondCandidate> candidates;
    for (const ResiduePair& pair : close_pairs) {
        // Direct neighbours never bond, and at separation two only the lower residue donates.
        if (pair.j >= pair.i + 2) add_candidate(candidates, residues, pair.i, pair.j);
        if (pair.j >= pair.i + 3) add_candidate(candidates, residues, pair.j, pair.i);
    }
    return candidates;
}

void keep_best_bonds(std::vector<Residue>& residues, std::vector<HBondCandidate> candidates) {
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const HBondCandidate& a, const HBondCandidate& b) { return a.energy < b.energy; });
    for (const HBondCandidate& c : candidates) {
        offer_bond(residues[c.donor].donor_bonds, c.acceptor, c.energy);
        offer_bond(residues[c.acceptor].acceptor_bonds, c.donor, c.energy);
    }
}

std::vector<ResiduePair> find_hydrogen_bonds(std::vector<Residue>& residues) {
    clear_bond_slots(residues);
    std::vector<ResiduePair> close_pairs = find_close_pairs(residues);
    keep_best_bonds(residues, collect_candidates(residues, close_pairs));
    return close_pairs;
}

bool nh_to_o(const std::vector<Residue>& residues, std::uint64_t d, std::uint64_t a) {
    return slots_hold_bond(residues[d].donor_bonds, a);
}

bool o_from_nh(const std::vector<Residue>& residues, std::uint64_t a, std::uint64_t d) {
    return slots_hold_bond(residues[a].acceptor_bonds, d);
}

}  // namespace tarnix::core
