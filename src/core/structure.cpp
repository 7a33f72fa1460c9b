#include "core/structure.hpp"

namespace tarnix::core {

namespace {

// Rebuilds the chains in one pass over the residues, handing each residue and its position to
// visit on the way.
template <typename Visit>
void group_chains_visiting(Structure& structure, Visit visit) {
    structure.chains.clear();
    auto& residues = structure.residues;
    std::uint64_t run_start = 0;
    for (std::uint64_t i = 0; i < residues.size(); ++i) {
        visit(residues[i], i);
        if (i > 0 && !same_chain_id(residues[i].chain_id, residues[run_start].chain_id)) {
            structure.chains.push_back(Chain{residues[run_start].chain_id, run_start, i});
            run_start = i;
        }
    }
    if (!residues.empty()) structure.chains.push_back(Chain{residues[run_start].chain_id, run_start, residues.size()});
}

}  // namespace

void group_chains(Structure& structure) {
    group_chains_visiting(structure, [](Residue&, std::uint64_t) {});
}

void number_and_group(Structure& structure) {
    group_chains_visiting(structure, [](Residue& residue, std::uint64_t i) { residue.index = i; });
}

Segments::Segments(const std::vector<Residue>& residues) : run_(residues.size(), 0) {
    for (std::size_t k = 1; k < residues.size(); ++k) {
        const bool cut =
            !same_chain_id(residues[k].chain_id, residues[k - 1].chain_id) || residues[k].break_flag != kNoBreak;
        run_[k] = run_[k - 1] + (cut ? 1 : 0);
    }
}

}  // namespace tarnix::core
