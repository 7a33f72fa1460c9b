#include "core/close_pairs.hpp"

#include <algorithm>
#include <limits>

#include "core/geometry.hpp"

namespace tarnix::core {
namespace {

// Wider than the 9 A cut-off so that float rounding in the distance test can
// never make a pair close across more than one cell boundary.
constexpr float kCellSize = 10.0f;
constexpr float kMaxSquaredDistance = 81.0f;
constexpr std::size_t kNoCell = std::numeric_limits<std::size_t>::max();

std::vector<Point3> ca_positions(const std::vector<Residue>& residues) {
    std::vector<Point3> cas(residues.size());
    for (std::size_t i = 0; i < residues.size(); ++i) cas[i] = residues[i].ca;
    return cas;
}

}  // namespace

bool cas_are_close(const Residue& a, const Residue& b) { return squared_length(a.ca - b.ca) <= kMaxSquaredDistance; }

// Residues with a non-finite CA are in no cell: no distance to them is ever close.
ClosePairFinder::ClosePairFinder(const std::vector<Residue>& residues)
    : residues_(residues), grid_(ca_positions(residues), kCellSize), cell_of_(residues.size(), kNoCell) {
    // Each residue's cell, and each cell's occupied neighbourhood, gathered once.
    around_start_.push_back(0);
    for (std::size_t cell = 0; cell < grid_.cell_count(); ++cell) {
        for (std::size_t i : grid_.members(cell)) cell_of_[i] = cell;
        grid_.neighbourhood(cell, around_);
        around_start_.push_back(around_.size());
    }
}

void ClosePairFinder::partners_after(std::uint64_t i, std::vector<std::uint64_t>& out) const {
    out.clear();
    const std::size_t cell = cell_of_[i];
    if (cell == kNoCell) return;
    for (std::size_t k = around_start_[cell]; k < around_start_[cell + 1]; ++k) {
        for (std::size_t j : grid_.members(around_[k])) {
            if (j > i && cas_are_close(residues_[i], residues_[j])) out.push_back(j);
        }
    }
    std::sort(out.begin(), out.end());
}

}  // namespace tarnix::core
