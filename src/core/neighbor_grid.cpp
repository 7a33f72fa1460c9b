#include "core/neighbor_grid.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace tarnix::core {
namespace {

bool is_finite(const Point3& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

constexpr float kLargeCoordinate = 0x1p30f;
// Keys of large coordinates start far beyond any key of a small one, so the two ranges are
// never adjacent.
constexpr std::int64_t kLargeKeyOffset = std::int64_t{1} << 40;

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 31;
    h *= 0x7fb5d329728ea185ULL;
    h ^= h >> 27;
    h *= 0x81dadef4bc2dd44dULL;
    h ^= h >> 33;
    return h;
}

// One finalising mix over a weighted sum: the three axes need no mixing of their own.
std::uint64_t key_hash(std::int64_t x, std::int64_t y, std::int64_t z) {
    return mix(static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ULL +
               static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4FULL +
               static_cast<std::uint64_t>(z) * 0x165667B19E3779F9ULL);
}

}  // namespace

NeighborGrid::NeighborGrid(std::span<const Point3> points, float cell_size) : cell_size_(cell_size) {
    // Keys grow with the coordinates, so the keys of the bounding box's corners bound them all.
    std::size_t finite = 0;
    Point3 low{}, high{};
    for (const Point3& p : points) {
        if (!is_finite(p)) continue;
        low = finite == 0 ? p : Point3{std::min(low.x, p.x), std::min(low.y, p.y), std::min(low.z, p.z)};
        high = finite == 0 ? p : Point3{std::max(high.x, p.x), std::max(high.y, p.y), std::max(high.z, p.z)};
        ++finite;
    }
    // Cells are numbered in order of first appearance, with their member counts.
    std::vector<std::size_t> cell_of_point(points.size(), 0);
    std::vector<std::size_t> counts;
    if (finite > 0 && fits_box(key_of(low), key_of(high), finite)) {
        number_in_box(points, cell_of_point, counts);
    } else {
        number_in_table(points, cell_of_point, counts);
    }
    cell_start_.assign(cell_keys_.size() + 1, 0);
    for (std::size_t c = 0; c < counts.size(); ++c) cell_start_[c + 1] = cell_start_[c] + counts[c];
    members_.resize(finite);
    std::vector<std::size_t> next(cell_start_.begin(), cell_start_.end() - 1);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (is_finite(points[i])) members_[next[cell_of_point[i]]++] = i;
    }
}

bool NeighborGrid::fits_box(const Key& low, const Key& high, std::size_t finite) {
    constexpr std::int64_t kSlotsPerPoint = 2;
    constexpr std::int64_t kFreeSlots = 4096;
    if (finite >= std::numeric_limits<std::uint32_t>::max() / kSlotsPerPoint) return false;
    const std::int64_t limit = kSlotsPerPoint * static_cast<std::int64_t>(finite) + kFreeSlots;
    const Key size{high.x - low.x + 1, high.y - low.y + 1, high.z - low.z + 1};
    // Each factor is checked before multiplying, so nothing overflows.
    if (size.x > limit || size.y > limit || size.z > limit || size.x * size.y > limit ||
        size.x * size.y * size.z > limit) {
        return false;
    }
    box_low_ = low;
    box_size_ = size;
    return true;
}

void NeighborGrid::number_in_box(std::span<const Point3> points, std::vector<std::size_t>& cell_of_point,
                                 std::vector<std::size_t>& counts) {
    constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
    box_.assign(static_cast<std::size_t>(box_size_.x * box_size_.y * box_size_.z), kNone);
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!is_finite(points[i])) continue;
        const Key key = key_of(points[i]);
        std::uint32_t& cell = box_[box_slot(key)];
        if (cell == kNone) {
            cell = static_cast<std::uint32_t>(cell_keys_.size());
            cell_keys_.push_back(key);
            counts.push_back(0);
        }
        cell_of_point[i] = cell;
        ++counts[cell];
    }
    for (std::uint32_t& cell : box_) {
        if (cell == kNone) cell = static_cast<std::uint32_t>(cell_keys_.size());
    }
}

void NeighborGrid::number_in_table(std::span<const Point3> points, std::vector<std::size_t>& cell_of_point,
                                   std::vector<std::size_t>& counts) {
    // The table grows with the cells, not the points, so that it stays in cache.
    const std::size_t empty = points.size() + 1;  // larger than any cell id while building
    table_.assign(16, empty);
    // Successive points (atoms of one residue, CAs along a chain) often share a cell: those skip
    // the table.
    std::size_t last_cell = empty;
    Key last_key{};
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!is_finite(points[i])) continue;
        const Key key = key_of(points[i]);
        if (last_cell == empty || !(key == last_key)) {
            std::size_t slot = probe(key, empty);
            if (table_[slot] == empty) {
                if (2 * (cell_keys_.size() + 1) > table_.size()) {
                    grow(empty);
                    slot = probe(key, empty);
                }
                table_[slot] = cell_keys_.size();
                cell_keys_.push_back(key);
                counts.push_back(0);
            }
            last_cell = table_[slot];
            last_key = key;
        }
        cell_of_point[i] = last_cell;
        ++counts[last_cell];
    }
    for (std::size_t& slot : table_) {
        if (slot == empty) slot = cell_keys_.size();
    }
}

std::size_t NeighborGrid::box_slot(const Key& key) const {
    return static_cast<std::size_t>(((key.x - box_low_.x) * box_size_.y + (key.y - box_low_.y)) * box_size_.z +
                                    (key.z - box_low_.z));
}

template <typename Keep>
void NeighborGrid::append_around(std::size_t cell, Keep keep, std::vector<std::size_t>& out) const {
    const Key centre = cell_keys_[cell];
    if (!box_.empty()) {
        // The same cells read straight from the box, skipping the sides it does not reach.
        const Key at{centre.x - box_low_.x, centre.y - box_low_.y, centre.z - box_low_.z};
        for (std::int64_t dx = -1; dx <= 1; ++dx) {
            if (at.x + dx < 0 || at.x + dx >= box_size_.x) continue;
            for (std::int64_t dy = -1; dy <= 1; ++dy) {
                if (at.y + dy < 0 || at.y + dy >= box_size_.y) continue;
                const std::size_t row = static_cast<std::size_t>(((at.x + dx) * box_size_.y + at.y + dy) * box_size_.z);
                for (std::int64_t dz = -1; dz <= 1; ++dz) {
                    if (at.z + dz < 0 || at.z + dz >= box_size_.z || !keep(dx, dy, dz)) continue;
                    const std::size_t other = box_[row + static_cast<std::size_t>(at.z + dz)];
                    if (other != cell_count()) out.push_back(other);
                }
            }
        }
        return;
    }
    for (std::int64_t dx = -1; dx <= 1; ++dx) {
        for (std::int64_t dy = -1; dy <= 1; ++dy) {
            for (std::int64_t dz = -1; dz <= 1; ++dz) {
                if (!keep(dx, dy, dz)) continue;
                const std::size_t other = find(Key{centre.x + dx, centre.y + dy, centre.z + dz});
                if (other != cell_count()) out.push_back(other);
            }
        }
    }
}

void NeighborGrid::neighbourhood(std::size_t cell, std::vector<std::size_t>& out) const {
    append_around(
        cell, [](std::int64_t, std::int64_t, std::int64_t) { return true; }, out);
}

std::vector<std::size_t> NeighborGrid::cells_by_key() const {
    if (!box_.empty()) {
        // The box is laid out in key order already.
        std::vector<std::size_t> cells;
        cells.reserve(cell_count());
        for (std::uint32_t cell : box_) {
            if (cell != cell_count()) cells.push_back(cell);
        }
        return cells;
    }
    std::vector<std::size_t> cells(cell_count());
    for (std::size_t cell = 0; cell < cells.size(); ++cell) cells[cell] = cell;
    std::sort(cells.begin(), cells.end(), [this](std::size_t a, std::size_t b) {
        const Key& p = cell_keys_[a];
        const Key& q = cell_keys_[b];
        return p.x < q.x || (p.x == q.x && (p.y < q.y || (p.y == q.y && p.z < q.z)));
    });
    return cells;
}

void NeighborGrid::forward_neighbours(std::size_t cell, std::vector<std::size_t>& out) const {
    append_around(
        cell,
        [](std::int64_t dx, std::int64_t dy, std::int64_t dz) {
            return dx > 0 || (dx == 0 && (dy > 0 || (dy == 0 && dz > 0)));
        },
        out);
}

NeighborGrid::Key NeighborGrid::key_of(const Point3& p) const {
    return Key{axis_cell(p.x), axis_cell(p.y), axis_cell(p.z)};
}

// Below 2^30 the cell is the usual floor division. Above it two distinct floats are at least
// 128 apart, farther than any cell edge, so each float value gets its own key, in value order;
// the keys stay in range for every finite value.
std::int64_t NeighborGrid::axis_cell(float v) const {
    if (std::fabs(v) < kLargeCoordinate) {
        return static_cast<std::int64_t>(std::floor(static_cast<double>(v) / static_cast<double>(cell_size_)));
    }
    const std::int64_t key = kLargeKeyOffset + std::bit_cast<std::uint32_t>(std::fabs(v));
    return v < 0.0f ? -key : key;
}

std::size_t NeighborGrid::slot_of(const Key& key) const {
    return static_cast<std::size_t>(key_hash(key.x, key.y, key.z)) & (table_.size() - 1);
}

std::size_t NeighborGrid::probe(const Key& key, std::size_t empty) const {
    std::size_t slot = slot_of(key);
    while (table_[slot] != empty && !(cell_keys_[table_[slot]] == key)) slot = (slot + 1) & (table_.size() - 1);
    return slot;
}

void NeighborGrid::grow(std::size_t empty) {
    table_.assign(2 * table_.size(), empty);
    for (std::size_t cell = 0; cell < cell_keys_.size(); ++cell) table_[probe(cell_keys_[cell], empty)] = cell;
}

std::size_t NeighborGrid::find(const Key& key) const {
    std::size_t slot = slot_of(key);
    while (table_[slot] != cell_count()) {
        if (cell_keys_[table_[slot]] == key) return table_[slot];
        slot = (slot + 1) & (table_.size() - 1);
    }
    return cell_count();
}

}  // namespace tarnix::core
