// The core's single operation: every computed field of every residue, in phase order.
#pragma once

#include <vector>

#include "core/helix.hpp"
#include "core/sasa.hpp"
#include "core/structure.hpp"

namespace tarnix::core {

// Fills the computed fields of every residue; the order of the phases sets
// the priority of the codes (E, B, then H, G, I, then P, T, S).
void assign_structure(Structure& structure, const AssignOptions& options);

// The same results, with the accessibility phase spread over parallel_for's threads; the
// other phases run on the calling thread.
void assign_structure(Structure& structure, const AssignOptions& options, const ParallelFor& parallel_for);

// bend = kappa > 70 degrees, where kappa exists.
void mark_bends(std::vector<Residue>& residues);
void mark_bends(CodeTable& codes);

// Writes T (inside a turn) or else S (bend) into residues still blank,
// never the first or last residue.
void assign_turns_and_bends(std::vector<Residue>& residues);
void assign_turns_and_bends(CodeTable& codes);

}  // namespace tarnix::core
