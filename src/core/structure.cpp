#include "core/structure.hpp"

namespace tarnix::core {

void group_chains(Structure& structure) {
    structure.chains.clear();
    const auto& residues = structure.residues;
    std::uint64_t run_start = 0;
    for (std::uint64_t i = 1; i <= residues.size(); ++i) {
        if (i == residues.size() || !same_chain_id(residues[i].chain_id, residues[run_start].chain_id)) {
            structure.chains.push_back(Chain{residues[run_start].chain_id, run_start, i});
            run_start = i;
        }
    }
}

void number_and_group(Structure& structure) {
    for (std::size_t i = 0; i < structure.residues.size(); ++i) structure.residues[i].index = i;
    group_chains(structure);
}

Segments::Segments(const std::vector<Residue>& residues) : run_(residues.size(), 0) {
    for (std::size_t k = 1; k < residues.size(); ++k) {
        const bool cut = !same_chain_id(residues[k].chain_id, residues[k - 1].chain_id) || residues[k].break_flag != kNoBreak;
        run_[k] = run_[k - 1] + (cut ? 1 : 0);
    }
}

}  // namespace tarnix::core
