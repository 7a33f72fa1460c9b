// Backbone hydrogen bonds N-H...O=C: energies, the two best per donor and per
// acceptor, and the bond tests the strand and helix phases use.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/close_pairs.hpp"
#include "core/structure.hpp"

namespace tarnix::core {

struct HBondCandidate {
    std::uint64_t donor = 0;
    std::uint64_t acceptor = 0;
    double energy = 0.0;
};

// Electrostatic energy in kcal/mol of the donor's N-H with the acceptor's C=O,
// a multiple of 0.001, never below -9.9.
double hbond_energy(const Residue& donor, const Residue& acceptor);

// Bonds weaker than this are not candidates.
inline constexpr double kCandidateCutoff = -0.01;
// Bonds must be stronger than this to pass the bond tests.
inline constexpr double kBondThreshold = -0.5;

// Per residue, the partners of its bonds that pass the bond tests: what the bridge, turn and
// helix phases test, kept apart from the residue records so that large structures stay in cache.
class PassingBonds {
public:
    PassingBonds() = default;
    // From the slots of the residues.
    explicit PassingBonds(const std::vector<Residue>& residues);

    void resize(std::size_t count) { entries_.resize(count); }
    // The passing partners of residue k, kNone for slots without one.
    void set(std::size_t k, const std::array<std::uint64_t, 2>& donor, const std::array<std::uint64_t, 2>& acceptor) {
        entries_[k] = Entry{donor, acceptor};
    }

    // NH(d)->O(a).
    bool nh_to_o(std::uint64_t d, std::uint64_t a) const { return holds(entries_[d].donor, a); }
    // O(a)<-NH(d).
    bool o_from_nh(std::uint64_t a, std::uint64_t d) const { return holds(entries_[a].acceptor, d); }

    // The passing partners of a residue's donor or acceptor slots; kNone where a slot has none.
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};
    const std::array<std::uint64_t, 2>& donor_partners(std::size_t k) const { return entries_[k].donor; }
    const std::array<std::uint64_t, 2>& acceptor_partners(std::size_t k) const { return entries_[k].acceptor; }

    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::array<std::uint64_t, 2> donor{kNone, kNone};
        std::array<std::uint64_t, 2> acceptor{kNone, kNone};
    };

    static bool holds(const std::array<std::uint64_t, 2>& partners, std::uint64_t k) {
        return partners[0] == k || partners[1] == k;
    }

    std::vector<Entry> entries_;
};

// Offers a candidate to the slots of its donor and its acceptor. Whatever the order of the offers,
// the slots end with the best two per side, of equal energies the one the close pairs generate
// first (lower residue, then higher, the lower donating first): what walking the candidates
// sorted by energy, stably, would give.
void offer_candidate(std::vector<Residue>& residues, const HBondCandidate& candidate);

// The close pairs (i, j), ordered by i then j, on which a bridge test can succeed: j >= i + 4,
// both ends inside the structure, and a passing bond of a bridge pattern between them. Each
// residue holds at most four bonds, so the list is linear in the residue count.
std::vector<ResiduePair> bridge_search_pairs(const std::vector<Residue>& residues);

// The same from the passing bonds and the CA positions of the residues.
std::vector<ResiduePair> bridge_search_pairs(const PassingBonds& bonds, const std::vector<Point3>& cas);

struct HydrogenBonds {
    PassingBonds passing;
    std::vector<ResiduePair> bridge_pairs;  // bridge_search_pairs
};

// The whole phase: clears the slots and fills them, using each close pair as it is found.
HydrogenBonds collect_hydrogen_bonds(std::vector<Residue>& residues);

// The same, returning bridge_search_pairs for the bridge search.
std::vector<ResiduePair> find_hydrogen_bonds(std::vector<Residue>& residues);

// NH(d)->O(a): one of d's donor slots names a with an energy below the threshold.
bool nh_to_o(const std::vector<Residue>& residues, std::uint64_t d, std::uint64_t a);

// O(a)<-NH(d): one of a's acceptor slots names d with an energy below the threshold.
bool o_from_nh(const std::vector<Residue>& residues, std::uint64_t a, std::uint64_t d);

}  // namespace tarnix::core
