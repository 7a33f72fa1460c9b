// Residue pairs whose CA atoms lie within 9 A of each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

struct ResiduePair {
    std::uint64_t i = 0;
    std::uint64_t j = 0;  // i < j

    friend bool operator==(const ResiduePair&, const ResiduePair&) = default;
    friend auto operator<=>(const ResiduePair&, const ResiduePair&) = default;
};

// True when the squared distance, in single precision, is at most 81. The sign of each
// difference does not change its square, so the order of the two points does not matter.
inline bool within_close_distance(const Point3& a, const Point3& b) {
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const float dz = a.z - b.z;
    return (dx * dx + dy * dy) + dz * dz <= 81.0f;
}

inline bool cas_are_close(const Residue& a, const Residue& b) { return within_close_distance(a.ca, b.ca); }

// Hands out the close pairs as they are found, so that memory stays linear in the residue count
// even when every CA is close to every other. The time is not: when all CAs coincide, every one
// of the n(n-1)/2 pairs is close and visited.
class ClosePairFinder {
public:
    explicit ClosePairFinder(const std::vector<Residue>& residues);

    // visit(pair) once for every close pair, in no particular order. Cells are walked in
    // half shells: each cell against itself and its occupied neighbours of a higher id.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t cell = 0; cell + 1 < cell_start_.size(); ++cell) {
            const std::size_t first = cell_start_[cell];
            const std::size_t last = cell_start_[cell + 1];
            for (std::size_t k = first; k < last; ++k) {
                for (std::size_t l = k + 1; l < last; ++l) visit_if_close(k, l, visit);
            }
            for (std::size_t a = above_start_[cell]; a < above_start_[cell + 1]; ++a) {
                const std::size_t other = above_[a];
                for (std::size_t k = first; k < last; ++k) {
                    for (std::size_t l = cell_start_[other]; l < cell_start_[other + 1]; ++l) visit_if_close(k, l, visit);
                }
            }
        }
    }

private:
    template <typename Visit>
    void visit_if_close(std::size_t k, std::size_t l, Visit& visit) const {
        if (!within_close_distance(cas_[k], cas_[l])) return;
        const std::uint64_t a = residue_of_[k];
        const std::uint64_t b = residue_of_[l];
        visit(a < b ? ResiduePair{a, b} : ResiduePair{b, a});
    }

    // Residues grouped by grid cell, with their CAs beside them.
    std::vector<std::uint64_t> residue_of_;
    std::vector<Point3> cas_;
    std::vector<std::size_t> cell_start_;
    std::vector<std::size_t> above_start_;  // per cell, into above_
    std::vector<std::size_t> above_;        // occupied neighbour cells of a higher id
};

}  // namespace tarnix::core
