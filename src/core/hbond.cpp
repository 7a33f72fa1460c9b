#include "core/hbond.hpp"

#include "base/huge_pages.hpp"
#include "base/simd.hpp"

#ifdef TARNIX_X86_SIMD
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cmath>
#include <compare>
#include <cstdint>
#include <optional>
#include <span>

namespace tarnix::core {
namespace {

constexpr double kCouplingConstant = 27.888;
constexpr double kClashEnergy = -9.9;
constexpr float kClashDistance = 0.5f;

using BondSlots = std::array<HBondSlot, 2>;

// A bond slot as the collector keeps it: two thirds the size of HBondSlot, so that the slots of
// large structures stay in cache while the bonds are found.
struct PackedSlot {
    std::uint64_t partner = PassingBonds::kNone;
    double energy = 0.0;
};

using PackedSlots = std::array<PackedSlot, 2>;

std::optional<std::uint64_t> partner_of(const HBondSlot& slot) { return slot.partner; }
std::optional<std::uint64_t> partner_of(const PackedSlot& slot) {
    return slot.partner == PassingBonds::kNone ? std::nullopt : std::optional<std::uint64_t>(slot.partner);
}

// The partners of the slots whose bonds pass the bond tests, kNone for the others.
template <typename Slots>
std::array<std::uint64_t, 2> passing_partners(const Slots& slots) {
    std::array<std::uint64_t, 2> partners{PassingBonds::kNone, PassingBonds::kNone};
    for (std::size_t s = 0; s < 2; ++s) {
        if (const auto partner = partner_of(slots[s]); partner && slots[s].energy < kBondThreshold)
            partners[s] = *partner;
    }
    return partners;
}

// One residue's atoms as a bond energy reads them, lane by lane for the four distances
// H-O, H-C, N-C and N-O: as donor H, H, N, N (H is N when absent), as acceptor O, C, C, O.
struct alignas(16) BondLanes {
    float donor[3][4];
    float acceptor[3][4];
    bool proline;
};

BondLanes bond_lanes(const Residue& r) {
    const Point3 h = r.h.value_or(r.n);
    return {{{h.x, h.x, r.n.x, r.n.x}, {h.y, h.y, r.n.y, r.n.y}, {h.z, h.z, r.n.z, r.n.z}},
            {{r.o.x, r.c.x, r.c.x, r.o.x}, {r.o.y, r.c.y, r.c.y, r.o.y}, {r.o.z, r.c.z, r.c.z, r.o.z}},
            r.amino_acid == 'P'};
}

double finish_energy(bool proline, bool clash, double scaled, double rounded) {
    if (proline) return 0.0;
    if (clash || std::isnan(scaled)) return kClashEnergy;
    return std::max(rounded / 1000.0, kClashEnergy);
}

#ifdef TARNIX_X86_SIMD
// The four distances of a bond, side by side, each in the arithmetic of distance(): packed
// square roots round as scalar ones do.
__m128 bond_distances(const float (&donor)[3][4], const float (&acceptor)[3][4]) {
    const __m128 dx = _mm_sub_ps(_mm_load_ps(donor[0]), _mm_load_ps(acceptor[0]));
    const __m128 dy = _mm_sub_ps(_mm_load_ps(donor[1]), _mm_load_ps(acceptor[1]));
    const __m128 dz = _mm_sub_ps(_mm_load_ps(donor[2]), _mm_load_ps(acceptor[2]));
    return _mm_sqrt_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz)));
}

bool clashes(__m128 distances) { return _mm_movemask_ps(_mm_cmplt_ps(distances, _mm_set1_ps(kClashDistance))) != 0; }

__m128d select(__m128d mask, __m128d if_set, __m128d otherwise) {
    return _mm_or_pd(_mm_and_pd(mask, if_set), _mm_andnot_pd(mask, otherwise));
}

// std::round, for values below 2^31 in magnitude, the sign of zero included.
__m128d round_half_away_from_zero(__m128d x) {
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d whole = _mm_or_pd(_mm_andnot_pd(sign, _mm_cvtepi32_pd(_mm_cvttpd_epi32(x))), _mm_and_pd(sign, x));
    const __m128d fraction = _mm_sub_pd(x, whole);  // exact
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d up = select(_mm_cmpge_pd(fraction, _mm_set1_pd(0.5)), _mm_add_pd(whole, one), whole);
    return select(_mm_cmple_pd(fraction, _mm_set1_pd(-0.5)), _mm_sub_pd(whole, one), up);
}

// The energies of the bonds a -> b and b -> a, computed side by side so that neither waits for
// the other. Where no atoms clash every distance is at least 0.5 A, so every reciprocal is at
// most 2 and the scaled sum stays far below 2^31 in magnitude, or is not a number.
std::array<double, 2> bond_energies(const BondLanes& a, const BondLanes& b) {
    const __m128 r_ab = bond_distances(a.donor, b.acceptor);  // H-O, H-C, N-C, N-O
    const __m128 r_ba = bond_distances(b.donor, a.acceptor);
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d h_ab = _mm_div_pd(one, _mm_cvtps_pd(r_ab));                       // 1/r_ho, 1/r_hc
    const __m128d n_ab = _mm_div_pd(one, _mm_cvtps_pd(_mm_movehl_ps(r_ab, r_ab)));  // 1/r_nc, 1/r_no
    const __m128d h_ba = _mm_div_pd(one, _mm_cvtps_pd(r_ba));
    const __m128d n_ba = _mm_div_pd(one, _mm_cvtps_pd(_mm_movehl_ps(r_ba, r_ba)));
    // Lane 0 for a -> b, lane 1 for b -> a: S = (1/r_no + 1/r_hc) - 1/r_ho - 1/r_nc.
    const __m128d s = _mm_sub_pd(
        _mm_sub_pd(_mm_add_pd(_mm_unpackhi_pd(n_ab, n_ba), _mm_unpackhi_pd(h_ab, h_ba)), _mm_unpacklo_pd(h_ab, h_ba)),
        _mm_unpacklo_pd(n_ab, n_ba));
    const __m128d scaled = _mm_mul_pd(_mm_mul_pd(s, _mm_set1_pd(kCouplingConstant)), _mm_set1_pd(1000.0));
    const __m128d rounded = round_half_away_from_zero(scaled);
    alignas(16) double scaled_lanes[2];
    alignas(16) double rounded_lanes[2];
    _mm_store_pd(scaled_lanes, scaled);
    _mm_store_pd(rounded_lanes, rounded);
    return {finish_energy(a.proline, clashes(r_ab), scaled_lanes[0], rounded_lanes[0]),
            finish_energy(b.proline, clashes(r_ba), scaled_lanes[1], rounded_lanes[1])};
}
#else
// The energy of the bond donor -> acceptor from the same lanes: distances H-O, H-C, N-C, N-O.
double bond_energy(const BondLanes& donor, const BondLanes& acceptor) {
    float r[4];
    for (std::size_t l = 0; l < 4; ++l) {
        const float dx = donor.donor[0][l] - acceptor.acceptor[0][l];
        const float dy = donor.donor[1][l] - acceptor.acceptor[1][l];
        const float dz = donor.donor[2][l] - acceptor.acceptor[2][l];
        r[l] = std::sqrt((dx * dx + dy * dy) + dz * dz);
    }
    const bool clash = r[0] < kClashDistance || r[1] < kClashDistance || r[2] < kClashDistance || r[3] < kClashDistance;
    const double s = (1.0 / static_cast<double>(r[3]) + 1.0 / static_cast<double>(r[1])) -
                     1.0 / static_cast<double>(r[0]) - 1.0 / static_cast<double>(r[2]);
    const double scaled = s * kCouplingConstant * 1000.0;
    return finish_energy(donor.proline, clash, scaled, std::round(scaled));
}

std::array<double, 2> bond_energies(const BondLanes& a, const BondLanes& b) {
    return {bond_energy(a, b), bond_energy(b, a)};
}
#endif

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
template <typename Slot, typename KeyOf>
void offer_bond(std::array<Slot, 2>& slots, std::uint64_t partner, double energy, KeyOf key_of) {
    auto beats = [&](const Slot& slot) {
        if (energy != slot.energy) return energy < slot.energy;
        const auto held = partner_of(slot);
        return held && key_of(partner) < key_of(*held);
    };
    if (beats(slots[0])) {
        slots[1] = slots[0];
        slots[0] = Slot{partner, energy};
    } else if (beats(slots[1])) {
        slots[1] = Slot{partner, energy};
    }
}

template <typename Slots>
void offer(Slots& donor_slots, Slots& acceptor_slots, const HBondCandidate& c) {
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
    void add_passing(const std::array<std::uint64_t, 2>& partners, std::uint64_t shift_limit) {
        for (const std::uint64_t partner : partners) {
            if (partner == PassingBonds::kNone) continue;
            for (std::uint64_t shift = 0; shift <= shift_limit; ++shift) js_[count_++] = partner + shift;
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

// Fills the bond slots from the close pairs. Pairs wait in small batches whose energies are
// computed in one run without data-dependent branches, so that the long chains of square roots
// and divisions of successive pairs overlap.
class BondCollector {
public:
    // Takes the atoms the energies read, and the CA positions, in one pass over the residues.
    BondCollector(const std::vector<Residue>& residues, std::vector<Point3>& cas)
        : donor_slots_(residues.size()), acceptor_slots_(residues.size()) {
        base::reserve_large(atoms_, residues.size());
        cas.reserve(residues.size());
        for (const Residue& r : residues) {
            atoms_.push_back(bond_lanes(r));
            cas.push_back(r.ca);
        }
    }

    void add(ResiduePair pair) {
        // Direct neighbours never bond.
        if (pair.j < pair.i + 2) return;
        batch_[count_++] = pair;
        if (count_ == kBatch) flush();
    }

    // Writes every residue's slots, clearing those of residues without bonds, and the passing ones.
    void finish(std::vector<Residue>& residues, PassingBonds& passing) {
        flush();
        passing.resize(residues.size());
        for (std::size_t k = 0; k < residues.size(); ++k) {
            residues[k].donor_bonds = unpacked(donor_slots_[k]);
            residues[k].acceptor_bonds = unpacked(acceptor_slots_[k]);
            passing.set(k, passing_partners(donor_slots_[k]), passing_partners(acceptor_slots_[k]));
        }
    }

private:
    static constexpr std::size_t kBatch = 64;

    void flush() {
        std::array<std::array<double, 2>, kBatch> energies;
        for (std::size_t k = 0; k < count_; ++k) energies[k] = bond_energies(atoms_[batch_[k].i], atoms_[batch_[k].j]);
        for (std::size_t k = 0; k < count_; ++k) {
            const auto [i, j] = batch_[k];
            const auto [forward, backward] = energies[k];
            if (forward < kCandidateCutoff) offer(donor_slots_[i], acceptor_slots_[j], {i, j, forward});
            // At separation two only the lower residue donates.
            if (j >= i + 3 && backward < kCandidateCutoff) offer(donor_slots_[j], acceptor_slots_[i], {j, i, backward});
        }
        count_ = 0;
    }

    std::vector<BondLanes> atoms_;
    static BondSlots unpacked(const PackedSlots& slots) {
        return {HBondSlot{partner_of(slots[0]), slots[0].energy}, HBondSlot{partner_of(slots[1]), slots[1].energy}};
    }

    std::vector<PackedSlots> donor_slots_;
    std::vector<PackedSlots> acceptor_slots_;
    std::array<ResiduePair, kBatch> batch_;
    std::size_t count_ = 0;
};

}  // namespace

double hbond_energy(const Residue& donor, const Residue& acceptor) {
    return bond_energies(bond_lanes(donor), bond_lanes(acceptor))[0];
}

void offer_candidate(std::vector<Residue>& residues, const HBondCandidate& candidate) {
    offer(residues[candidate.donor].donor_bonds, residues[candidate.acceptor].acceptor_bonds, candidate);
}

PassingBonds::PassingBonds(const std::vector<Residue>& residues) : entries_(residues.size()) {
    for (std::size_t k = 0; k < residues.size(); ++k) {
        set(k, passing_partners(residues[k].donor_bonds), passing_partners(residues[k].acceptor_bonds));
    }
}

// Every bridge pattern holds one of: a passing NH(i)->O(j-1) or NH(i)->O(j) (donor slots of i),
// NH(i+1)->O(j-1) or NH(i+1)->O(j) (donor slots of i+1), or O(i)<-NH(j) (acceptor slots of i).
std::vector<ResiduePair> bridge_search_pairs(const PassingBonds& bonds, const std::vector<Point3>& cas) {
    std::vector<ResiduePair> pairs;
    const std::uint64_t n = bonds.size();
    for (std::uint64_t i = 1; i + 1 < n; ++i) {
        BridgeCandidates candidates;
        candidates.add_passing(bonds.donor_partners(i), 1);
        candidates.add_passing(bonds.donor_partners(i + 1), 1);
        candidates.add_passing(bonds.acceptor_partners(i), 0);
        for (const std::uint64_t j : candidates.sorted()) {
            // A bridge needs j >= i + 4 and a residue after j.
            if (j >= i + 4 && j + 1 < n && within_close_distance(cas[i], cas[j])) pairs.push_back({i, j});
        }
    }
    return pairs;
}

std::vector<ResiduePair> bridge_search_pairs(const std::vector<Residue>& residues) {
    return bridge_search_pairs(PassingBonds(residues), ca_positions(residues));
}

HydrogenBonds collect_hydrogen_bonds(std::vector<Residue>& residues) {
    std::vector<Point3> cas;
    BondCollector collector(residues, cas);
    ClosePairFinder(cas).for_each([&](ResiduePair pair) { collector.add(pair); });
    HydrogenBonds bonds;
    collector.finish(residues, bonds.passing);
    bonds.bridge_pairs = bridge_search_pairs(bonds.passing, cas);
    return bonds;
}

std::vector<ResiduePair> find_hydrogen_bonds(std::vector<Residue>& residues) {
    return collect_hydrogen_bonds(residues).bridge_pairs;
}

bool nh_to_o(const std::vector<Residue>& residues, std::uint64_t d, std::uint64_t a) {
    return slots_hold_bond(residues[d].donor_bonds, a);
}

bool o_from_nh(const std::vector<Residue>& residues, std::uint64_t a, std::uint64_t d) {
    return slots_hold_bond(residues[a].acceptor_bonds, d);
}

}  // namespace tarnix::core
