#include "core/structure.hpp"

namespace tarnix::core {

void group_chains(Structure& structure) {
    structure.chains.clear();
    const auto& residues = structure.residues;
    std::uint64_t run_start = 0;
    for (std::uint64_t i = 1; i <= residues.size(); ++i) {
        if (i == residues.size() || residues[i].chain_id != residues[run_start].chain_id) {
            structure.chains.push_back(Chain{residues[run_start].chain_id, run_start, i});
            run_start = i;
        }
    }
}

}  // namespace tarnix::core
