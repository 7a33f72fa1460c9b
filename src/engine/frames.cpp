#include "engine/frames.hpp"

#include <cmath>
#include <limits>

#include "core/assign.hpp"
#include "core/codes.hpp"

namespace tarnix::engine {

std::optional<std::size_t> first_unfinite_frame(const float* positions, std::size_t count,
                                                std::size_t atoms_per_frame) {
    const std::size_t values = atoms_per_frame * 3;
    for (std::size_t frame = 0; frame < count; ++frame) {
        const float* start = positions + frame * values;
        bool finite = true;
        for (std::size_t i = 0; i < values; ++i) finite &= std::isfinite(start[i]);
        if (!finite) return frame;
    }
    return std::nullopt;
}

void compute_frame(const io::FrameLayout& layout, const float* positions, std::size_t frame,
                   const core::AssignOptions& options, const FrameColumns& out) {
    core::Structure structure = io::frame_structure(layout, positions + frame * layout.atoms_per_frame * 3);
    core::assign_structure(structure, options);
    constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
    const std::size_t row = frame * structure.residues.size();
    for (std::size_t i = 0; i < structure.residues.size(); ++i) {
        const core::Residue& residue = structure.residues[i];
        out.codes[row + i] = residue.ss;
        out.codes_c3[row + i] = core::code_c3(residue.ss);
        out.phi[row + i] = residue.phi.value_or(kNaN);
        out.psi[row + i] = residue.psi.value_or(kNaN);
        if (out.accessibility != nullptr) out.accessibility[row + i] = residue.accessibility;
    }
}

}  // namespace tarnix::engine
