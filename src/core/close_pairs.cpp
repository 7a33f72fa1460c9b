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
constexpr float kMaxSquaredDistance = 81.0f;
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

// Finite-CA residues sorted by cell, then index; each cell a range of that
// order. The CA positions are copied into that order so that distance tests
// read one compact array.
class CellGrid {
public:
    explicit CellGrid(const std::vector<Residue>& residues) : cell_of_residue_(residues.size(), kNoCell) {
        struct Entry {
            CellKey cell;
            std::uint64_t index;
        };
        std::vector<Entry> entries;
        for (std::uint64_t i = 0; i < residues.size(); ++i) {
            // A non-finite coordinate makes every difference infinite or NaN, so
            // such a residue is never close to anything and needs no cell.
            if (is_finite(residues[i].ca)) entries.push_back({cell_of(residues[i].ca), i});
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.cell.x != b.cell.x) return a.cell.x < b.cell.x;
            if (a.cell.y != b.cell.y) return a.cell.y < b.cell.y;
            if (a.cell.z != b.cell.z) return a.cell.z < b.cell.z;
            return a.index < b.index;
        });
        indices_.reserve(entries.size());
        cas_.reserve(entries.size());
        for (std::size_t k = 0; k < entries.size(); ++k) {
            if (k == 0 || !(entries[k].cell == entries[k - 1].cell)) ranges_.push_back({entries[k].cell, k, k});
            ++ranges_.back().end;
            cell_of_residue_[entries[k].index] = ranges_.size() - 1;
            indices_.push_back(entries[k].index);
            cas_.push_back(residues[entries[k].index].ca);
        }
        link_neighbour_cells();
    }

    // Appends to out every residue after i whose CA is close to i's, in no particular order.
    void collect_close_later(std::uint64_t i, Point3 ca, std::vector<std::uint64_t>& out) const {
        const std::size_t cell = cell_of_residue_[i];
        if (cell == kNoCell) return;
        for (std::size_t n = neighbour_offsets_[cell]; n < neighbour_offsets_[cell + 1]; ++n) {
            const Range& range = ranges_[neighbours_[n]];
            const auto first = std::upper_bound(indices_.begin() + static_cast<std::ptrdiff_t>(range.begin),
                                                indices_.begin() + static_cast<std::ptrdiff_t>(range.end), i);
            for (auto k = static_cast<std::size_t>(first - indices_.begin()); k < range.end; ++k) {
                if (squared_length(ca - cas_[k]) <= kMaxSquaredDistance) out.push_back(indices_[k]);
            }
        }
    }

private:
    static constexpr std::size_t kNoCell = static_cast<std::size_t>(-1);
    struct Range {
        CellKey key;
        std::size_t begin;
        std::size_t end;
    };
    std::vector<std::uint64_t> indices_;
    std::vector<Point3> cas_;
    std::vector<Range> ranges_;
    std::vector<std::size_t> cell_of_residue_;
    // Occupied cells among the 27 around each cell, as compressed rows.
    std::vector<std::size_t> neighbour_offsets_;
    std::vector<std::size_t> neighbours_;

    void link_neighbour_cells() {
        std::unordered_map<CellKey, std::size_t, CellKeyHash> cell_number;
        cell_number.reserve(ranges_.size());
        for (std::size_t c = 0; c < ranges_.size(); ++c) cell_number.emplace(ranges_[c].key, c);
        neighbour_offsets_.reserve(ranges_.size() + 1);
        neighbour_offsets_.push_back(0);
        for (const Range& range : ranges_) {
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                for (std::int64_t dy = -1; dy <= 1; ++dy) {
                    for (std::int64_t dz = -1; dz <= 1; ++dz) {
                        const auto found = cell_number.find({range.key.x + dx, range.key.y + dy, range.key.z + dz});
                        if (found != cell_number.end()) neighbours_.push_back(found->second);
                    }
                }
            }
            neighbour_offsets_.push_back(neighbours_.size());
        }
    }
};

}  // namespace

bool cas_are_close(const Residue& a, const Residue& b) { return squared_length(a.ca - b.ca) <= kMaxSquaredDistance; }

std::vector<ResiduePair> find_close_pairs(const std::vector<Residue>& residues) {
    std::vector<ResiduePair> pairs;
    if (residues.size() < 2) return pairs;
    const CellGrid grid(residues);
    std::vector<std::uint64_t> nearby;
    for (std::uint64_t i = 0; i + 1 < residues.size(); ++i) {
        nearby.clear();
        grid.collect_close_later(i, residues[i].ca, nearby);
        std::sort(nearby.begin(), nearby.end());
        for (std::uint64_t j : nearby) pairs.push_back({i, j});
    }
    return pairs;
}

}  // namespace tarnix::core
