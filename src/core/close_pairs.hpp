// Residue pairs whose CA atoms lie within 9 A of each other.
#pragma once

#include <cstdint>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

struct ResiduePair {
    std::uint64_t i = 0;
    std::uint64_t j = 0;  // i < j

    friend bool operator==(const ResiduePair&, const ResiduePair&) = default;
};

// True when the squared CA distance, in single precision, is at most 81.
bool cas_are_close(const Residue& a, const Residue& b);

// Every close pair (i, j), i < j, ordered by i then j: the same list as testing
// all pairs, found through a spatial grid.
std::vector<ResiduePair> find_close_pairs(const std::vector<Residue>& residues);

}  // namespace tarnix::core
