// Solvent-accessible surface per residue.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

// Expanded radii: each atom's radius plus the probe's, summed in single precision.
inline constexpr float kProbeRadius = 1.4f;
inline constexpr float kExpandedRadiusN = 1.65f + kProbeRadius;
inline constexpr float kExpandedRadiusCA = 1.87f + kProbeRadius;
inline constexpr float kExpandedRadiusC = 1.76f + kProbeRadius;
inline constexpr float kExpandedRadiusO = 1.4f + kProbeRadius;
inline constexpr float kExpandedRadiusOther = 1.8f + kProbeRadius;
static_assert(std::bit_cast<std::uint32_t>(kExpandedRadiusN) == 0x40433333u);
static_assert(std::bit_cast<std::uint32_t>(kExpandedRadiusCA) == 0x405147AEu);
static_assert(std::bit_cast<std::uint32_t>(kExpandedRadiusC) == 0x404A3D70u);
static_assert(std::bit_cast<std::uint32_t>(kExpandedRadiusO) == 0x40333333u);
static_assert(std::bit_cast<std::uint32_t>(kExpandedRadiusOther) == 0x404CCCCCu);

// Runs task(i) once for every i in [0, count), in any order and on any threads, and returns
// when all have finished.
using ParallelFor = std::function<void(std::size_t count, const std::function<void(std::size_t)>& task)>;

// Instruction sets of the point tests. All give bit-identical results; Baseline runs on every
// processor. The environment variable TARNIX_SASA_KERNEL=baseline forces it, and
// TARNIX_SASA_KERNEL=avx2 stops at Avx2.
enum class SasaKernel { Baseline, Avx2, Avx512 };

bool sasa_kernel_supported(SasaKernel kernel);

// The widest supported kernel, unless the environment names a narrower one.
SasaKernel default_sasa_kernel();

// Writes Residue::accessibility of every residue, using sasa_points test points per atom.
void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points);
void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points, SasaKernel kernel);

// The same values, with the point tests spread over parallel_for's threads.
void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points, SasaKernel kernel,
                           const ParallelFor& parallel_for);

}  // namespace tarnix::core
