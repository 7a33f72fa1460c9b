#include "core/assign.hpp"

#include "core/geometry.hpp"
#include "core/hbond.hpp"
#include "core/helix.hpp"
#include "core/sasa.hpp"
#include "core/strand.hpp"

namespace tarnix::core {
namespace {

constexpr float kBendThreshold = 70.0f;

// An n-turn starting at k-1 .. k-n+1 has residue k strictly inside it.
bool inside_turn(const std::vector<Residue>& residues, std::size_t k) {
    for (std::size_t n = 3; n <= 5; ++n) {
        for (std::size_t back = 1; back < n && back <= k; ++back) {
            if (turn_starts_at(residues[k - back], n)) return true;
        }
    }
    return false;
}

}  // namespace

void mark_bends(std::vector<Residue>& residues) {
    for (Residue& r : residues) {
        if (r.kappa) r.bend = *r.kappa > kBendThreshold;
    }
}

void assign_turns_and_bends(std::vector<Residue>& residues) {
    for (std::size_t k = 1; k + 1 < residues.size(); ++k) {
        Residue& r = residues[k];
        if (r.ss != ' ') continue;
        if (inside_turn(residues, k)) {
            r.ss = 'T';
        } else if (r.bend) {
            r.ss = 'S';
        }
    }
}

namespace {

// Every phase but accessibility.
void assign_codes(Structure& structure, const AssignOptions& options) {
    std::vector<Residue>& residues = structure.residues;
    number_and_group(structure);
    detect_chain_breaks(residues);
    compute_backbone_geometry(residues);
    {
        // The close-pair list is needed only up to the bridge search.
        const std::vector<ResiduePair> close_pairs = find_hydrogen_bonds(residues);
        assign_strands(residues, close_pairs);
    }
    find_turns(residues);
    mark_bends(residues);
    assign_helices(residues);
    assign_ppii(residues, options.ppii_stretch);
    assign_turns_and_bends(residues);
}

}  // namespace

void assign_structure(Structure& structure, const AssignOptions& options) {
    if (structure.residues.empty()) return;
    assign_codes(structure, options);
    if (options.calculate_sasa) compute_accessibility(structure.residues, options.sasa_points);
}

void assign_structure(Structure& structure, const AssignOptions& options, const ParallelFor& parallel_for) {
    if (structure.residues.empty()) return;
    assign_codes(structure, options);
    if (options.calculate_sasa) {
        compute_accessibility(structure.residues, options.sasa_points, default_sasa_kernel(), parallel_for);
    }
}

}  // namespace tarnix::core
