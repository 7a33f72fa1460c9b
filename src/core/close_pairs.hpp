// Residue pairs whose CA atoms lie within 9 A of each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/neighbor_grid.hpp"
#include "core/structure.hpp"

namespace tarnix::core {

struct ResiduePair {
    std::uint64_t i = 0;
    std::uint64_t j = 0;  // i < j

    friend bool operator==(const ResiduePair&, const ResiduePair&) = default;
};

// True when the squared CA distance, in single precision, is at most 81.
bool cas_are_close(const Residue& a, const Residue& b);

// Hands out the close pairs one residue at a time, so that a caller can use them as they are
// found: memory stays linear in the residue count even when every CA is close to every other.
// The time is not: when all CAs coincide, every one of the n(n-1)/2 pairs is close and visited.
class ClosePairFinder {
public:
    // Keeps a reference to residues, which must outlive the finder and keep their CAs.
    explicit ClosePairFinder(const std::vector<Residue>& residues);

    // Replaces out with every j > i whose CA is close to residue i's, ascending.
    void partners_after(std::uint64_t i, std::vector<std::uint64_t>& out) const;

    // visit(pair) for every close pair, ordered by i then j.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        std::vector<std::uint64_t> partners;
        for (std::uint64_t i = 0; i + 1 < residues_.size(); ++i) {
            partners_after(i, partners);
            for (std::uint64_t j : partners) visit(ResiduePair{i, j});
        }
    }

private:
    const std::vector<Residue>& residues_;
    NeighborGrid grid_;
    std::vector<std::size_t> cell_of_;       // per residue; none for a non-finite CA
    std::vector<std::size_t> around_start_;  // per cell, into around_
    std::vector<std::size_t> around_;        // each cell's occupied neighbourhood
};

}  // namespace tarnix::core
