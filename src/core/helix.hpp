// Hydrogen-bonded turns, the helices built from them, and polyproline stretches.
#pragma once

#include <cstdint>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

// Sets turn_flags for the 3-, 4- and 5-turns.
void find_turns(std::vector<Residue>& residues);

// True when a turn of the given length (3, 4 or 5) starts at the residue.
bool turn_starts_at(const Residue& residue, std::size_t turn_length);

// Writes H, then G, then I from consecutive turns.
void assign_helices(std::vector<Residue>& residues);

// phi and psi present and inside the polyproline window, bounds included.
bool is_ppii_residue(const Residue& residue);

// Writes P and ppii_flag on stretches of at least ppii_stretch qualifying residues.
void assign_ppii(std::vector<Residue>& residues, std::uint64_t ppii_stretch);

}  // namespace tarnix::core
