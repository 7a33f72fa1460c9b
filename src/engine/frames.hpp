// Secondary structure of many frames of one set of residues (a trajectory, an ensemble), each
// frame computed as a structure of its own, spread over threads frame by frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/structure.hpp"
#include "io/topology.hpp"

namespace tarnix::engine {

// Row-major (frames, residues) arrays the caller owns; accessibility may be null when not asked for.
struct FrameColumns {
    char* codes = nullptr;
    char* codes_c3 = nullptr;
    float* phi = nullptr;  // NaN where undefined
    float* psi = nullptr;
    float* accessibility = nullptr;
};

// The first frame in [0, count) holding a coordinate that is not finite, if any: the core needs
// finite positions. `positions` is (count, atoms_per_frame, 3).
std::optional<std::size_t> first_unfinite_frame(const float* positions, std::size_t count, std::size_t atoms_per_frame);

// Computes frame `frame` of `positions` into row `frame` of out. Frames are independent: any
// number may run at once, on any threads.
void compute_frame(const io::FrameLayout& layout, const float* positions, std::size_t frame,
                   const core::AssignOptions& options, const FrameColumns& out);

}  // namespace tarnix::engine
