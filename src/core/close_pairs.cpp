#include "core/close_pairs.hpp"

#include <algorithm>
#include <limits>

#include "core/geometry.hpp"
#include "core/neighbor_grid.hpp"

namespace tarnix::core {
namespace {

// Wider than the 9 A cut-off so that float rounding in the distance test can
// never make a pair close across more than one cell boundary.
constexpr float kCellSize = 10.0f;
constexpr float kMaxSquaredDistance = 81.0f;
constexpr std::size_t kNoCell = std::numeric_limits<std::size_t>::max();

}  // namespace

bool cas_are_close(const Residue& a, const Residue& b) { return squared_length(a.ca - b.ca) <= kMaxSquaredDistance; }

std::vector<ResiduePair> find_close_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    const std::size_t n = residues.size();
    if (n < 2) return pairs;
    std::vector<Point3> cas(n);
    for (std::size_t i = 0; i < n; ++i) cas[i] = residues[i].ca;
    // Residues with a non-finite CA are in no cell: no distance to them is ever close.
    const NeighborGrid grid(cas, kCellSize);

    // Each residue's cell, and each cell's occupied neighbourhood, gathered once.
    std::vector<std::size_t> cell_of(n, kNoCell);
    std::vector<std::size_t> around_start{0};
    std::vector<std::size_t> around;
    for (std::size_t cell = 0; cell < grid.cell_count(); ++cell) {
        for (std::size_t i : grid.members(cell)) cell_of[i] = cell;
        grid.neighbourhood(cell, around);
        around_start.push_back(around.size());
    }

    std::vector<std::uint64_t> nearby;
    for (std::uint64_t i = 0; i + 1 < n; ++i) {
        const std::size_t cell = cell_of[i];
        if (cell == kNoCell) continue;
        nearby.clear();
        for (std::size_t k = around_start[cell]; k < around_start[cell + 1]; ++k) {
            for (std::size_t j : grid.members(around[k])) {
                if (j > i && cas_are_close(residues[i], residues[j])) nearby.push_back(j);
            }
        }
        std::sort(nearby.begin(), nearby.end());
        for (std::uint64_t j : nearby) pairs.push_back({i, j});
    }
    return pairs;
}

}  // namespace tarnix::core
