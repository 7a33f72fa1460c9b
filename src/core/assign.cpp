#include "core/assign.hpp"

namespace tarnix::core {

void assign_structure(Structure& structure, const AssignOptions& /*options*/) {
    auto& residues = structure.residues;
    if (residues.empty()) return;
    for (std::uint64_t i = 0; i < residues.size(); ++i) residues[i].index = i;
}

}  // namespace tarnix::core
