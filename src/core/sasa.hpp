// Solvent-accessible surface per residue.
#pragma once

#include <cstdint>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

// Writes Residue::accessibility of every residue, using sasa_points test points per atom.
void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points);

}  // namespace tarnix::core
