// Hydrogen-bonded turns, the helices built from them, and polyproline stretches.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/hbond.hpp"
#include "core/structure.hpp"

namespace tarnix::core {

// A residue bends where kappa is above this, in degrees.
inline constexpr float kBendThreshold = 70.0f;

// What the turn, helix, polyproline and last code passes read and write of one residue, packed
// so that these passes stay in cache on large structures.
struct ResidueCodes {
    char ss = ' ';
    std::array<HelixFlag, 3> turn_flags{HelixFlag::none, HelixFlag::none, HelixFlag::none};
    HelixFlag ppii_flag = HelixFlag::none;
    bool bend = false;
    bool has_kappa = false;
    bool kappa_bent = false;    // kappa above the bend threshold
    bool ppii_window = false;   // is_ppii_residue
    bool break_before = false;  // nonzero break_flag
};

using CodeTable = std::vector<ResidueCodes>;

CodeTable load_codes(const std::vector<Residue>& residues);

// Writes back ss, turn_flags, ppii_flag and bend.
void store_codes(const CodeTable& codes, std::vector<Residue>& residues);

// Sets turn_flags for the 3-, 4- and 5-turns.
void find_turns(std::vector<Residue>& residues);
void find_turns(CodeTable& codes, const PassingBonds& bonds, const Segments& segments);

// True when a turn of the given length (3, 4 or 5) starts at the residue.
bool turn_starts_at(const Residue& residue, std::size_t turn_length);
bool turn_starts_at(const ResidueCodes& residue, std::size_t turn_length);

// Writes H, then G, then I from consecutive turns.
void assign_helices(std::vector<Residue>& residues);
void assign_helices(CodeTable& codes);

// phi and psi present and inside the polyproline window, bounds included.
bool is_ppii_residue(const Residue& residue);

// Writes P and ppii_flag on stretches of at least ppii_stretch qualifying residues.
void assign_ppii(std::vector<Residue>& residues, std::uint64_t ppii_stretch);
void assign_ppii(CodeTable& codes, std::uint64_t ppii_stretch);

}  // namespace tarnix::core
