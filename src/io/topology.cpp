#include "io/topology.hpp"

#include <cstdint>
#include <vector>

namespace tarnix::io {
namespace {

// The reader keeps positions exactly, so an atom's number placed in x (exact in a float below
// 2^24) tells which atom the reader put in each slot.
core::Point3 numbered(std::size_t index) { return core::Point3{static_cast<float>(index), 0.0f, 0.0f}; }

std::uint32_t number_of(const core::Point3& point) { return static_cast<std::uint32_t>(point.x); }

core::Point3 position(const float* positions, std::uint32_t atom) {
    const float* xyz = positions + std::size_t{atom} * 3;
    return core::Point3{xyz[0], xyz[1], xyz[2]};
}

// Renumbers the layout's atoms by their place among the atoms used, so that frames need hold no
// other atom (a solvent, say).
void keep_used_atoms(FrameLayout& layout, std::size_t topology_atoms) {
    constexpr std::uint32_t kUnused = UINT32_MAX;
    std::vector<std::uint32_t> place(topology_atoms, kUnused);
    const auto mark = [&](std::uint32_t atom) { place[atom] = 0; };
    for (const ResidueAtoms& slots : layout.residues) {
        for (const std::uint32_t atom : {slots.n, slots.ca, slots.c, slots.o}) mark(atom);
        if (slots.h) mark(*slots.h);
        for (const std::uint32_t atom : slots.atoms) mark(atom);
    }
    for (std::uint32_t atom = 0; atom < topology_atoms; ++atom) {
        if (place[atom] == kUnused) continue;
        place[atom] = static_cast<std::uint32_t>(layout.used.size());
        layout.used.push_back(atom);
    }
    for (ResidueAtoms& slots : layout.residues) {
        for (std::uint32_t* atom : {&slots.n, &slots.ca, &slots.c, &slots.o}) *atom = place[*atom];
        if (slots.h) slots.h = place[*slots.h];
        for (std::uint32_t& atom : slots.atoms) atom = place[atom];
    }
    layout.atoms_per_frame = layout.used.size();
}

}  // namespace

std::variant<FrameLayout, InputError> frame_layout(std::span<const AtomRecord> atoms, ResidueRules rules) {
    if (atoms.size() > kMaxTopologyAtoms) {
        return InputError::empty();
    }
    ResidueCollector collector(AmideHydrogenRule::first_of_h_hn_h1, rules);
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        AtomRecord record = atoms[i];
        record.position = numbered(i);
        collector.add(record);
    }
    auto built = collector.build();
    if (auto* error = std::get_if<InputError>(&built)) return std::move(*error);
    FrameLayout layout;
    layout.model = std::move(std::get<core::Structure>(built));
    layout.residues.reserve(layout.model.residues.size());
    for (const core::Residue& residue : layout.model.residues) {
        ResidueAtoms& slots = layout.residues.emplace_back();
        slots.n = number_of(residue.n);
        slots.ca = number_of(residue.ca);
        slots.c = number_of(residue.c);
        slots.o = number_of(residue.o);
        if (residue.h) slots.h = number_of(*residue.h);
        slots.atoms.reserve(residue.atoms.size());
        for (const core::Atom& atom : residue.atoms) slots.atoms.push_back(number_of(atom.position));
    }
    keep_used_atoms(layout, atoms.size());
    return layout;
}

core::Structure frame_structure(const FrameLayout& layout, const float* positions) {
    core::Structure structure = layout.model;
    for (std::size_t i = 0; i < structure.residues.size(); ++i) {
        core::Residue& residue = structure.residues[i];
        const ResidueAtoms& slots = layout.residues[i];
        residue.n = position(positions, slots.n);
        residue.ca = position(positions, slots.ca);
        residue.c = position(positions, slots.c);
        residue.o = position(positions, slots.o);
        if (slots.h) residue.h = position(positions, *slots.h);
        for (std::size_t k = 0; k < slots.atoms.size(); ++k)
            residue.atoms[k].position = position(positions, slots.atoms[k]);
    }
    return structure;
}

}  // namespace tarnix::io
