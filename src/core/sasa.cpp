#include "core/sasa.hpp"

namespace tarnix::core {

// Accessibility is not computed yet; every residue keeps its initial 0.0.
void compute_accessibility(std::vector<Residue>& /*residues*/, std::uint64_t /*sasa_points*/) {}

}  // namespace tarnix::core
