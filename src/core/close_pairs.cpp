#include "core/close_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "core/geometry.hpp"

namespace tarnix::core {
namespace {

// Wider than the 9 A cut-off so that float rounding in the distance test can
// never make a pair close across more than one cell boundary.
constexpr double kCellSize = 10.0;
// Clamping keeps cell numbers representable; it is monotonic, so residues
// close in space still fall into the same or neighbouring cells.
constexpr double kCellLimit = 4611686018427387904.0;  // 2^62

struct CellKey {
    std::int64_t x;
    std::int64_t y;
    std::int64_t z;

    friend bool operator==(const CellKey&, const CellKey&) = default;
};

struct CellKeyHash {
    std::size_t operator()(const CellKey& k) const {
        std::uint64_t h = static_cast<std::uint64_t>(k.x) * 0x9E3779B97F4A7C15ULL;
        h ^= static_cast<std::uint64_t>(k.y) + 0x7F4A7C159E3779B9ULL + (h << 6) + (h >> 2);
        h ^= static_cast<std::uint64_t>(k.z) + 0x94D049BB133111EBULL + (h << 6) + (h >> 2);
        return static_cast<std::size_t>(h);
    }
};

std::int64_t cell_coordinate(float v) {
    const double cell = std::clamp(std::floor(static_cast<double>(v) / kCellSize), -kCellLimit, kCellLimit);
    return static_cast<std::int64_t>(cell);
}

CellKey cell_of(Point3 p) { return {cell_coordinate(p.x), cell_coordinate(p.y), cell_coordinate(p.z)}; }

bool is_finite(Point3 p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }

// Residues sorted by cell, with each occupied cell's range in that order.
class CellGrid {
public:
    explicit CellGrid(const std::vector<Residue>& residues) {
        for (std::uint64_t i = 0; i < residues.size(); ++i) {
            // A non-finite coordinate makes every difference infinite or NaN, so
            // such a residue is never close to anything and needs no cell.
            if (is_finite(residues[i].ca)) members_.push_back({cell_of(residues[i].ca), i});
        }
        std::sort(members_.begin(), members_.end(), [](const Member& a, const Member& b) {
            if (a.cell.x != b.cell.x) return a.cell.x < b.cell.x;
            if (a.cell.y != b.cell.y) return a.cell.y < b.cell.y;
            if (a.cell.z != b.cell.z) return a.cell.z < b.cell.z;
            return a.index < b.index;
        });
        cells_.reserve(members_.size());
        for (std::size_t k = 0; k < members_.size();) {
            std::size_t end = k + 1;
            while (end < members_.size() && members_[end].cell == members_[k].cell) ++end;
            cells_.emplace(members_[k].cell, Range{k, end});
            k = end;
        }
    }

    // Appends to out every residue index after i stored in the cells around i's cell.
    void collect_later_neighbours(CellKey centre, std::uint64_t i, std::vector<std::uint64_t>& out) const {
        for (std::int64_t dx = -1; dx <= 1; ++dx) {
            for (std::int64_t dy = -1; dy <= 1; ++dy) {
                for (std::int64_t dz = -1; dz <= 1; ++dz) {
                    const auto found = cells_.find({centre.x + dx, centre.y + dy, centre.z + dz});
                    if (found == cells_.end()) continue;
                    for (std::size_t k = found->second.begin; k < found->second.end; ++k) {
                        if (members_[k].index > i) out.push_back(members_[k].index);
                    }
                }
            }
        }
    }

private:
    struct Member {
        CellKey cell;
        std::uint64_t index;
    };
    struct Range {
        std::size_t begin;
        std::size_t end;
    };
    std::vector<Member> members_;
    std::unordered_map<CellKey, Range, CellKeyHash> cells_;
};

}  // namespace

bool cas_are_close(const Residue& a, const Residue& b) { return squared_length(a.ca - b.ca) <= 81.0f; }

std::vector<ResiduePair> find_close_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    if (residues.size() < 2) return pairs;
    const CellGrid grid(residues);
    std::vector<std::uint64_t> nearby;
    for (std::uint64_t i = 0; i + 1 < residues.size(); ++i) {
        if (!is_finite(residues[i].ca)) continue;
        nearby.clear();
        grid.collect_later_neighbours(cell_of(residues[i].ca), i, nearby);
        std::sort(nearby.begin(), nearby.end());
        for (std::uint64_t j : nearby) {
            if (cas_are_close(residues[i], residues[j])) pairs.push_back({i, j});
        }
    }
    return pairs;
}

}  // namespace tarnix::core
