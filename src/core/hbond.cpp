#include "core/hbond.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <compare>
#include <cstdint>
#include <span>

#include "core/geometry.hpp"

namespace tarnix::core {
namespace {

constexpr double kCouplingConstant = 27.888;
constexpr double kClashEnergy = -9.9;
constexpr float kClashDistance = 0.5f;

using BondSlots = std::array<HBondSlot, 2>;

// std::round without the library call, exact for every double, the sign of zero included.
double round_half_away_from_zero(double x) {
    if (!(std::fabs(x) < 0x1p52)) return x;  // already whole, or not finite
    const double whole = std::copysign(static_cast<double>(static_cast<std::int64_t>(x)), x);
    const double fraction = x - whole;  // exact
    if (fraction >= 0.5) return whole + 1.0;
    if (fraction <= -0.5) return whole - 1.0;
    return whole;
}

// The atoms of one residue that a bond energy reads, packed so the pair loop stays in cache.
struct BondAtoms {
    Point3 h;  // the amide hydrogen, or N when there is none
    Point3 n;
    Point3 c;
    Point3 o;
    bool proline;
};

BondAtoms bond_atoms(const Residue& r) { return {r.h.value_or(r.n), r.n, r.c, r.o, r.amino_acid == 'P'}; }

double bond_energy(const BondAtoms& donor, const BondAtoms& acceptor) {
    if (donor.proline) return 0.0;
    const float r_ho = distance(donor.h, acceptor.o);
    const float r_hc = distance(donor.h, acceptor.c);
    const float r_nc = distance(donor.n, acceptor.c);
    const float r_no = distance(donor.n, acceptor.o);
    if (r_ho < kClashDistance || r_hc < kClashDistance || r_nc < kClashDistance || r_no < kClashDistance) {
        return kClashEnergy;
    }
    const double s = (1.0 / static_cast<double>(r_no) + 1.0 / static_cast<double>(r_hc)) -
                     1.0 / static_cast<double>(r_ho) - 1.0 / static_cast<double>(r_nc);
    const double energy = round_half_away_from_zero(s * kCouplingConstant * 1000.0) / 1000.0;
    if (std::isnan(energy)) return kClashEnergy;
    return std::max(energy, kClashEnergy);
}

// Where the candidate donor -> acceptor comes in the order the close pairs generate candidates:
// by lower residue, then higher residue, the lower residue donating first.
struct GenerationKey {
    std::uint64_t low;
    std::uint64_t high;
    bool higher_donates;

    friend auto operator<=>(const GenerationKey&, const GenerationKey&) = default;
};

GenerationKey generation_key(std::uint64_t donor, std::uint64_t acceptor) {
    return donor < acceptor ? GenerationKey{donor, acceptor, false} : GenerationKey{acceptor, donor, true};
}

// Keeps the best two under (energy, generation order), so the order of the offers does not matter:
// the slots end as a stable sort by energy followed by a walk in that order would leave them.
// key_of gives the generation key of a bond to a partner.
template <typename KeyOf>
void offer_bond(BondSlots& slots, std::uint64_t partner, double energy, KeyOf key_of) {
    auto beats = [&](const HBondSlot& slot) {
        if (energy != slot.energy) return energy < slot.energy;
        return slot.partner && key_of(partner) < key_of(*slot.partner);
    };
    if (beats(slots[0])) {
        slots[1] = slots[0];
        slots[0] = HBondSlot{partner, energy};
    } else if (beats(slots[1])) {
        slots[1] = HBondSlot{partner, energy};
    }
}

void offer(BondSlots& donor_slots, BondSlots& acceptor_slots, const HBondCandidate& c) {
    offer_bond(donor_slots, c.acceptor, c.energy, [&](std::uint64_t a) { return generation_key(c.donor, a); });
    offer_bond(acceptor_slots, c.donor, c.energy, [&](std::uint64_t d) { return generation_key(d, c.acceptor); });
}

bool slots_hold_bond(const BondSlots& slots, std::uint64_t partner) {
    for (const HBondSlot& slot : slots) {
        if (slot.partner == partner && slot.energy < kBondThreshold) return true;
    }
    return false;
}

// Up to ten partners j of residue i for the bridge search, unsorted.
class BridgeCandidates {
public:
    void add_passing(const BondSlots& slots, std::uint64_t shift_limit) {
        for (const HBondSlot& slot : slots) {
            if (!slot.partner || !(slot.energy < kBondThreshold)) continue;
            for (std::uint64_t shift = 0; shift <= shift_limit; ++shift) js_[count_++] = *slot.partner + shift;
        }
    }

    // Ascending, without repeats; an insertion sort suits ten entries.
    std::span<const std::uint64_t> sorted() {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < count_; ++k) {
            const std::uint64_t j = js_[k];
            std::size_t at = kept;
            while (at > 0 && js_[at - 1] > j) --at;
            if (at > 0 && js_[at - 1] == j) continue;
            std::copy_backward(js_.begin() + at, js_.begin() + kept, js_.begin() + kept + 1);
            js_[at] = j;
            ++kept;
        }
        return {js_.data(), kept};
    }

private:
    std::array<std::uint64_t, 10> js_{};
    std::size_t count_ = 0;
};

}  // namespace

double hbond_energy(const Residue& donor, const Residue& acceptor) {
    return bond_energy(bond_atoms(donor), bond_atoms(acceptor));
}

void offer_candidate(std::vector<Residue>& residues, const HBondCandidate& candidate) {
    offer(residues[candidate.donor].donor_bonds, residues[candidate.acceptor].acceptor_bonds, candidate);
}

// Every bridge pattern holds one of: a passing NH(i)->O(j-1) or NH(i)->O(j) (donor slots of i),
// NH(i+1)->O(j-1) or NH(i+1)->O(j) (donor slots of i+1), or O(i)<-NH(j) (acceptor slots of i).
std::vector<ResiduePair> bridge_search_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    const std::uint64_t n = residues.size();
    for (std::uint64_t i = 1; i + 1 < n; ++i) {
        BridgeCandidates candidates;
        candidates.add_passing(residues[i].donor_bonds, 1);
        candidates.add_passing(residues[i + 1].donor_bonds, 1);
        candidates.add_passing(residues[i].acceptor_bonds, 0);
        for (const std::uint64_t j : candidates.sorted()) {
            // A bridge needs j >= i + 4 and a residue after j.
            if (j >= i + 4 && j + 1 < n && cas_are_close(residues[i], residues[j])) pairs.push_back({i, j});
        }
    }
    return pairs;
}

std::vector<ResiduePair> find_hydrogen_bonds(std::vector<Residue>& residues) {
    std::vector<BondAtoms> atoms;
    atoms.reserve(residues.size());
    for (const Residue& r : residues) atoms.push_back(bond_atoms(r));
    std::vector<BondSlots> donor_slots(residues.size());
    std::vector<BondSlots> acceptor_slots(residues.size());
    auto try_bond = [&](std::uint64_t donor, std::uint64_t acceptor) {
        const double energy = bond_energy(atoms[donor], atoms[acceptor]);
        if (energy < kCandidateCutoff) offer(donor_slots[donor], acceptor_slots[acceptor], {donor, acceptor, energy});
    };
    ClosePairFinder(residues).for_each([&](ResiduePair pair) {
        // Direct neighbours never bond, and at separation two only the lower residue donates.
        if (pair.j >= pair.i + 2) try_bond(pair.i, pair.j);
        if (pair.j >= pair.i + 3) try_bond(pair.j, pair.i);
    });
    for (std::size_t k = 0; k < residues.size(); ++k) {
        residues[k].donor_bonds = donor_slots[k];
        residues[k].acceptor_bonds = acceptor_slots[k];
    }
    return bridge_search_pairs(residues);
}

bool nh_to_o(const std::vector<Residue>& residues, std::uint64_t d, std::uint64_t a) {
    return slots_hold_bond(residues[d].donor_bonds, a);
}

bool o_from_nh(const std::vector<Residue>& residues, std::uint64_t a, std::uint64_t d) {
    return slots_hold_bond(residues[a].acceptor_bonds, d);
}

}  // namespace tarnix::core
