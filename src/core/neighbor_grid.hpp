// Hashed cell grid over points: everything within one cell edge of a point lies in the 27
// cells around the point's own cell. Only occupied cells exist, so memory is linear in the
// number of points whatever the coordinate extent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

class NeighborGrid {
public:
    // Beyond 2^30 adjacent floats are 128 apart, which the key scheme relies on.
    static constexpr float kMaxCellSize = 64.0f;

    // Points with a non-finite coordinate are left out: no distance to them compares below
    // any radius. cell_size must lie in (0, kMaxCellSize].
    NeighborGrid(std::span<const Point3> points, float cell_size);

    // Cells are numbered in order of their first point.
    std::size_t cell_count() const { return cell_start_.size() - 1; }

    // Positions of the points in one cell, ascending.
    std::span<const std::size_t> members(std::size_t cell) const {
        return {members_.data() + cell_start_[cell], members_.data() + cell_start_[cell + 1]};
    }

    // Appends the occupied cells around cell, itself included, in dx, dy, dz order.
    void neighbourhood(std::size_t cell, std::vector<std::size_t>& out) const;

    // Every cell, ordered by the x, then y, then z of its place in the grid.
    std::vector<std::size_t> cells_by_key() const;

    // Appends the occupied neighbour cells at the 13 offsets (dx, dy, dz) that come after
    // (0, 0, 0) in lexicographic order: of two neighbouring cells, exactly one lists the other.
    void forward_neighbours(std::size_t cell, std::vector<std::size_t>& out) const;

private:
    struct Key {
        std::int64_t x;
        std::int64_t y;
        std::int64_t z;
        bool operator==(const Key&) const = default;
    };

    Key key_of(const Point3& p) const;
    std::int64_t axis_cell(float v) const;
    std::size_t slot_of(const Key& key) const;
    // Cell id of key from the hash table, or cell_count() when no point lies in that cell.
    std::size_t find(const Key& key) const;
    // Appends the occupied cells around cell at the offsets keep(dx, dy, dz) accepts, in
    // dx, dy, dz order.
    template <typename Keep>
    void append_around(std::size_t cell, Keep keep, std::vector<std::size_t>& out) const;
    // While building: the slot holding key, or the empty slot where it belongs.
    std::size_t probe(const Key& key, std::size_t empty) const;
    // Doubles the table and places the cells again.
    void grow(std::size_t empty);
    // Takes the box from low to high when it has few enough cells for finite points, at most
    // two a point.
    bool fits_box(const Key& low, const Key& high, std::size_t finite);
    // Number the cells of the finite points in order of first appearance and count their
    // members, through the box or through the hash table.
    void number_in_box(std::span<const Point3> points, std::vector<std::size_t>& cell_of_point,
                       std::vector<std::size_t>& counts);
    void number_in_table(std::span<const Point3> points, std::vector<std::size_t>& cell_of_point,
                         std::vector<std::size_t>& counts);
    std::size_t box_slot(const Key& key) const;

    float cell_size_;
    std::vector<Key> cell_keys_;      // per cell
    std::vector<std::size_t> table_;  // open addressing over cell ids; empty slots hold cell_count()
    // When not empty: the cell id of every key in the box from box_low_ spanning box_size_ cells
    // on each axis, x slowest, used instead of the hash table; compact inputs, nearly all, fit.
    std::vector<std::uint32_t> box_;
    Key box_low_{};
    Key box_size_{};
    std::vector<std::size_t> cell_start_;
    std::vector<std::size_t> members_;  // point positions grouped by cell
};

}  // namespace tarnix::core
