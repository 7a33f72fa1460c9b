// Residue pairs whose CA atoms lie within 9 A of each other.
#pragma once

#include "base/simd.hpp"

#ifdef TARNIX_X86_SIMD
#include <emmintrin.h>
#endif

#include <bit>
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

inline constexpr float kMaxSquaredCaDistance = 81.0f;

// True when the squared distance, in single precision, is at most 81. The sign of each
// difference does not change its square, so the order of the two points does not matter.
inline bool within_close_distance(const Point3& a, const Point3& b) {
    const float dx = a.x - b.x;
    const float dy = a.y - b.y;
    const float dz = a.z - b.z;
    return (dx * dx + dy * dy) + dz * dz <= kMaxSquaredCaDistance;
}

std::vector<Point3> ca_positions(const std::vector<Residue>& residues);

inline bool cas_are_close(const Residue& a, const Residue& b) { return within_close_distance(a.ca, b.ca); }

// Hands out the close pairs as they are found, so that memory stays linear in the residue count
// even when every CA is close to every other. The time is not: when all CAs coincide, every one
// of the n(n-1)/2 pairs is close and visited.
class ClosePairFinder {
public:
    explicit ClosePairFinder(const std::vector<Residue>& residues);
    // From the CA positions of the residues.
    explicit ClosePairFinder(const std::vector<Point3>& cas);

    // visit(pair) once for every close pair, in no particular order. Cells are walked in half
    // shells: each cell against itself and against its forward neighbours.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t cell = 0; cell < cell_count(); ++cell) {
            const std::size_t first = cell_start_[cell];
            for (std::size_t k = first; k < cell_end_[cell]; ++k) {
                // Within the cell only the entries after k, starting from k's block of lanes.
                const std::size_t block = first + (k - first) / kLanes * kLanes;
                scan(k, block, cell_end_[cell], (2u << (k - block)) - 1, visit);
                for (std::size_t f = forward_start_[cell]; f < forward_start_[cell + 1]; ++f) {
                    const std::size_t other = forward_[f];
                    scan(k, cell_start_[other], cell_end_[other], 0, visit);
                }
            }
        }
    }

private:
    static constexpr std::size_t kLanes = 4;

    std::size_t cell_count() const { return cell_end_.size(); }

    // Tests entry k against the entries from..to, four at a time, in the arithmetic of
    // within_close_distance; lanes in skip_first of the first block are left out.
    template <typename Visit>
    void scan(std::size_t k, std::size_t from, std::size_t to, unsigned skip_first, Visit& visit) const {
#ifdef TARNIX_X86_SIMD
        const __m128 x = _mm_set1_ps(xs_[k]);
        const __m128 y = _mm_set1_ps(ys_[k]);
        const __m128 z = _mm_set1_ps(zs_[k]);
        const __m128 limit = _mm_set1_ps(kMaxSquaredCaDistance);
        unsigned skip = skip_first;
        for (std::size_t l = from; l < to; l += kLanes) {
            const __m128 dx = _mm_sub_ps(x, _mm_loadu_ps(xs_.data() + l));
            const __m128 dy = _mm_sub_ps(y, _mm_loadu_ps(ys_.data() + l));
            const __m128 dz = _mm_sub_ps(z, _mm_loadu_ps(zs_.data() + l));
            const __m128 d2 = _mm_add_ps(_mm_add_ps(_mm_mul_ps(dx, dx), _mm_mul_ps(dy, dy)), _mm_mul_ps(dz, dz));
            unsigned close = static_cast<unsigned>(_mm_movemask_ps(_mm_cmple_ps(d2, limit))) & ~skip;
            skip = 0;
            while (close != 0) {
                const std::uint64_t a = residue_of_[k];
                const std::uint64_t b = residue_of_[l + static_cast<std::size_t>(std::countr_zero(close))];
                visit(a < b ? ResiduePair{a, b} : ResiduePair{b, a});
                close &= close - 1;
            }
        }
#else
        const Point3 p{xs_[k], ys_[k], zs_[k]};
        for (std::size_t l = from; l < to; ++l) {
            if (l - from < kLanes && ((skip_first >> (l - from)) & 1) != 0) continue;
            if (!within_close_distance(p, Point3{xs_[l], ys_[l], zs_[l]})) continue;
            const std::uint64_t a = residue_of_[k];
            const std::uint64_t b = residue_of_[l];
            visit(a < b ? ResiduePair{a, b} : ResiduePair{b, a});
        }
#endif
    }

    // Residues grouped by grid cell, each cell padded to whole blocks of lanes with NaN
    // coordinates, which are never close to anything.
    std::vector<std::uint64_t> residue_of_;
    std::vector<float> xs_;
    std::vector<float> ys_;
    std::vector<float> zs_;
    std::vector<std::size_t> cell_start_;
    std::vector<std::size_t> cell_end_;       // one past the cell's last real entry
    std::vector<std::size_t> forward_start_;  // per cell, into forward_
    std::vector<std::size_t> forward_;        // NeighborGrid::forward_neighbours of each cell
};

}  // namespace tarnix::core
