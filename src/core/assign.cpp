#include "core/assign.hpp"

#include "core/geometry.hpp"
#include "core/hbond.hpp"
#include "core/helix.hpp"
#include "core/sasa.hpp"
#include "core/strand.hpp"

namespace tarnix::core {
namespace {

// An n-turn starting at k-1 .. k-n+1 has residue k strictly inside it.
bool inside_turn(const CodeTable& residues, std::size_t k) {
    for (std::size_t n = 3; n <= 5; ++n) {
        for (std::size_t back = 1; back < n && back <= k; ++back) {
            if (turn_starts_at(residues[k - back], n)) return true;
        }
    }
    return false;
}

}  // namespace

void mark_bends(std::vector<Residue>& residues) {
    CodeTable codes = load_codes(residues);
    mark_bends(codes);
    store_codes(codes, residues);
}

void mark_bends(CodeTable& residues) {
    for (ResidueCodes& r : residues) {
        if (r.has_kappa) r.bend = r.kappa_bent;
    }
}

void assign_turns_and_bends(std::vector<Residue>& residues) {
    CodeTable codes = load_codes(residues);
    assign_turns_and_bends(codes);
    store_codes(codes, residues);
}

void assign_turns_and_bends(CodeTable& residues) {
    for (std::size_t k = 1; k + 1 < residues.size(); ++k) {
        ResidueCodes& r = residues[k];
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
    // The unbroken runs, the passing bonds and the codes are built once and handed on, so that
    // the later passes read small tables rather than whole residue records.
    std::vector<Residue>& residues = structure.residues;
    number_and_group(structure);
    const Segments segments = detect_chain_breaks(residues, structure.chains);
    compute_backbone_geometry(residues, segments);
    const HydrogenBonds bonds = collect_hydrogen_bonds(residues);
    assign_strands(residues, bonds.bridge_pairs, bonds.passing, segments);
    CodeTable codes = load_codes(residues);
    find_turns(codes, bonds.passing, segments);
    mark_bends(codes);
    assign_helices(codes);
    assign_ppii(codes, options.ppii_stretch);
    assign_turns_and_bends(codes);
    store_codes(codes, residues);
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
