// Residues of a topology (atoms named, without positions), found by the rules the PDB reader
// applies to a file (as the file gives them, by default), as a layout that turns any frame's atom
// positions into a Structure.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/structure.hpp"
#include "io/input_error.hpp"
#include "io/residue_collector.hpp"

namespace tarnix::io {

// Where a residue's atoms are in a frame's positions.
struct ResidueAtoms {
    std::uint32_t n = 0;
    std::uint32_t ca = 0;
    std::uint32_t c = 0;
    std::uint32_t o = 0;
    std::optional<std::uint32_t> h;
    std::vector<std::uint32_t> atoms;  // in the order of Residue::atoms
};

struct FrameLayout {
    core::Structure model;               // the residues with their names and ids; positions left unset
    std::vector<ResidueAtoms> residues;  // atoms numbered by their place in `used`
    std::vector<std::uint32_t> used;     // the topology's atoms the residues use, ascending
    std::size_t atoms_per_frame = 0;     // = used.size(): a frame holds the used atoms only
};

// The most atoms a topology may have: atom numbers travel through the reader as coordinates.
inline constexpr std::size_t kMaxTopologyAtoms = std::size_t{1} << 24;

// The layout of the residues with N, CA, C and O of a topology (its atoms as a PDB line would give
// them; positions are not read), grouped by `rules`, or Empty when there are none (or more than
// kMaxTopologyAtoms atoms, which callers refuse first with a message of their own).
std::variant<FrameLayout, InputError> frame_layout(std::span<const AtomRecord> atoms,
                                                   ResidueRules rules = ResidueRules::as_written);

// The structure of one frame: `positions` holds x, y, z of each of the layout's used atoms.
core::Structure frame_structure(const FrameLayout& layout, const float* positions);

}  // namespace tarnix::io
