#include "core/close_pairs.hpp"

#include <limits>

#include "core/neighbor_grid.hpp"

namespace tarnix::core {
namespace {

// Wider than the 9 A cut-off so that float rounding in the distance test can
// never make a pair close across more than one cell boundary.
constexpr float kCellSize = 10.0f;

}  // namespace

std::vector<Point3> ca_positions(const std::vector<Residue>& residues) {
    std::vector<Point3> cas(residues.size());
    for (std::size_t i = 0; i < residues.size(); ++i) cas[i] = residues[i].ca;
    return cas;
}

// Residues with a non-finite CA are in no cell: no distance to them is ever close.
ClosePairFinder::ClosePairFinder(const std::vector<Residue>& residues) : ClosePairFinder(ca_positions(residues)) {}

ClosePairFinder::ClosePairFinder(const std::vector<Point3>& positions) {
    const NeighborGrid grid(positions, kCellSize);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Each cell pads by at most kLanes - 1 entries and has at most 13 forward neighbours.
    const std::size_t entries = positions.size() + (kLanes - 1) * grid.cell_count();
    residue_of_.reserve(entries);
    xs_.reserve(entries);
    ys_.reserve(entries);
    zs_.reserve(entries);
    cell_start_.reserve(grid.cell_count());
    cell_end_.reserve(grid.cell_count());
    forward_start_.reserve(grid.cell_count() + 1);
    forward_.reserve(13 * grid.cell_count());
    forward_start_.push_back(0);
    for (std::size_t cell = 0; cell < grid.cell_count(); ++cell) {
        cell_start_.push_back(residue_of_.size());
        for (std::size_t i : grid.members(cell)) {
            residue_of_.push_back(i);
            xs_.push_back(positions[i].x);
            ys_.push_back(positions[i].y);
            zs_.push_back(positions[i].z);
        }
        cell_end_.push_back(residue_of_.size());
        while (residue_of_.size() % kLanes != 0) {
            residue_of_.push_back(0);
            xs_.push_back(nan);
            ys_.push_back(nan);
            zs_.push_back(nan);
        }
        grid.forward_neighbours(cell, forward_);
        forward_start_.push_back(forward_.size());
    }
}

}  // namespace tarnix::core
