#include "core/sasa.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <span>

#ifdef __SSE__
#include <xmmintrin.h>
#endif

#include "core/neighbor_grid.hpp"

namespace tarnix::core {
namespace {

constexpr float kRadiusN = std::bit_cast<float>(0x40433333u);
constexpr float kRadiusCA = std::bit_cast<float>(0x405147AEu);
constexpr float kRadiusC = std::bit_cast<float>(0x404A3D70u);
constexpr float kRadiusO = std::bit_cast<float>(0x40333333u);
constexpr float kRadiusOther = std::bit_cast<float>(0x404CCCCCu);
constexpr float kLargestRadius = kRadiusCA;
constexpr float kFourPi = 12.566371f;
constexpr float kGoldenAngle = 2.3999631f;

// Wider than the largest pair reach (2 * 3.27) so that rounding can never hide a neighbour
// two cells away.
constexpr float kCellSize = 7.0f;
static_assert(kCellSize <= NeighborGrid::kMaxCellSize);

// Four single-precision lanes: one SSE2 register, or whatever the target offers.
typedef float Floats __attribute__((vector_size(16)));
typedef std::int32_t Mask __attribute__((vector_size(16)));
constexpr std::size_t kWidth = sizeof(Floats) / sizeof(float);
// Test points are examined kVectors * kWidth at a time, one lane each.
constexpr std::size_t kVectors = 2;
constexpr std::size_t kLanes = kVectors * kWidth;

struct AtomList {
    std::vector<Point3> centres;
    std::vector<float> radii;
    std::vector<std::size_t> residue_end;  // one past each residue's last atom
};

AtomList build_atom_list(const std::vector<Residue>& residues) {
    AtomList list;
    std::size_t count = 0;
    for (const Residue& r : residues) count += 4 + r.atoms.size();
    list.centres.reserve(count);
    list.radii.reserve(count);
    list.residue_end.reserve(residues.size());
    const auto add = [&list](const Point3& p, float radius) {
        list.centres.push_back(p);
        list.radii.push_back(radius);
    };
    for (const Residue& r : residues) {
        add(r.n, kRadiusN);
        add(r.ca, kRadiusCA);
        add(r.c, kRadiusC);
        add(r.o, kRadiusO);
        for (const Atom& a : r.atoms) add(a.position, kRadiusOther);
        list.residue_end.push_back(list.centres.size());
    }
    return list;
}

// Unit vectors on a golden spiral, grouped kWidth to a vector. Lanes past the last point are
// marked as already buried so that they never count and never keep a block open.
struct TestPoints {
    std::uint64_t count = 0;
    std::vector<Floats> x, y, z;
    std::vector<Mask> padding;
};

std::vector<Point3> golden_spiral(std::uint64_t m) {
    std::vector<Point3> points;
    points.reserve(m);
    // A single point would divide 0 by 0; it is placed at the start of the spiral, t = 0.
    const float last = static_cast<float>(m > 1 ? m - 1 : 1);
    for (std::uint64_t k = 0; k < m; ++k) {
        const float fk = static_cast<float>(k);
        const float t = fk / last;
        const float y = 1.0f - 2.0f * t;
        const float r = std::sqrt(1.0f - y * y);
        const float theta = fk * kGoldenAngle;
        points.push_back(Point3{r * std::cos(theta), y, r * std::sin(theta)});
    }
    return points;
}

// Points of one block should lie close together, so that the same few neighbours bury the
// whole block. Area on the sphere is uniform in y and longitude, so points are ordered by a
// band of y, then by longitude; the band count makes blocks roughly square.
void order_for_blocks(std::vector<Point3>& points) {
    const double blocks = static_cast<double>(points.size()) / static_cast<double>(kLanes);
    const float bands = static_cast<float>(std::max(1.0, std::ceil(2.0 / std::numbers::pi * std::sqrt(blocks))));
    struct Place {
        float band, longitude;
        Point3 point;
    };
    std::vector<Place> places;
    places.reserve(points.size());
    for (const Point3& p : points) {
        const float band = std::min(bands - 1.0f, std::floor((1.0f - p.y) * 0.5f * bands));
        places.push_back(Place{band, std::atan2(p.z, p.x), p});
    }
    std::stable_sort(places.begin(), places.end(), [](const Place& a, const Place& b) {
        return a.band < b.band || (a.band == b.band && a.longitude < b.longitude);
    });
    for (std::size_t k = 0; k < points.size(); ++k) points[k] = places[k].point;
}

TestPoints make_test_points(std::uint64_t m) {
    std::vector<Point3> spiral = golden_spiral(m);
    order_for_blocks(spiral);
    TestPoints points;
    points.count = m;
    const std::size_t groups = (m + kLanes - 1) / kLanes * kVectors;
    points.x.assign(groups, Floats{});
    points.y.assign(groups, Floats{});
    points.z.assign(groups, Floats{});
    points.padding.assign(groups, Mask{} - 1);
    for (std::size_t k = 0; k < spiral.size(); ++k) {
        points.x[k / kWidth][k % kWidth] = spiral[k].x;
        points.y[k / kWidth][k % kWidth] = spiral[k].y;
        points.z[k / kWidth][k % kWidth] = spiral[k].z;
        points.padding[k / kWidth][k % kWidth] = 0;
    }
    return points;
}

// One overlapping neighbour, each value copied to every lane; the four share a cache line.
struct Neighbour {
    Floats x, y, z, r2;
};

// Bit l is set when lane l is.
unsigned lane_bits(const Mask& m) {
#ifdef __SSE__
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
#else
    unsigned bits = 0;
    for (std::size_t l = 0; l < kWidth; ++l) bits |= static_cast<unsigned>(m[l] & 1) << l;
    return bits;
#endif
}

constexpr unsigned kAllLanes = (1u << kWidth) - 1;

bool all_set(const Mask& m) { return lane_bits(m) == kAllLanes; }

// Number of clear lanes for each value of lane_bits.
constexpr auto kClearLanes = [] {
    std::array<std::uint8_t, kAllLanes + 1> clear{};
    for (unsigned bits = 0; bits <= kAllLanes; ++bits) {
        clear[bits] = static_cast<std::uint8_t>(kWidth - static_cast<std::size_t>(std::popcount(bits)));
    }
    return clear;
}();

// A point is buried as soon as any neighbour covers it, so points are tested a block at a
// time and a block stops once every lane is covered; the per-point arithmetic is unchanged.
std::uint64_t exposed_points(const Point3& centre, float radius, const TestPoints& points,
                             const std::vector<Neighbour>& nb) {
    std::uint64_t exposed = 0;
    const std::size_t n = nb.size();
    for (std::size_t first = 0; first < points.x.size(); first += kVectors) {
        Floats px[kVectors], py[kVectors], pz[kVectors];
        Mask buried[kVectors];
        for (std::size_t v = 0; v < kVectors; ++v) {
            px[v] = centre.x + radius * points.x[first + v];
            py[v] = centre.y + radius * points.y[first + v];
            pz[v] = centre.z + radius * points.z[first + v];
            buried[v] = points.padding[first + v];
        }
        for (std::size_t j = 0; j < n; ++j) {
            Mask all = buried[0];
            for (std::size_t v = 0; v < kVectors; ++v) {
                const Neighbour& b = nb[j];
                const Floats dx = px[v] - b.x;
                const Floats dy = py[v] - b.y;
                const Floats dz = pz[v] - b.z;
                const Floats d2 = (dx * dx + dy * dy) + dz * dz;
                buried[v] |= b.r2 > d2;
                all &= buried[v];
            }
            if (all_set(all)) break;
        }
        for (std::size_t v = 0; v < kVectors; ++v) exposed += kClearLanes[lane_bits(buried[v])];
    }
    return exposed;
}

// Neighbours are tried in shells of increasing distance: the nearest cover the most points,
// and a full sort costs more than it saves. The order cannot change a result, since a point
// is buried exactly when some neighbour covers it.
constexpr std::size_t kShells = 8;
constexpr float kShellsPerSquaredReach = kShells / ((2.0f * kLargestRadius) * (2.0f * kLargestRadius));

std::size_t shell_of(float d2) {
    return std::min(kShells - 1, static_cast<std::size_t>(d2 * kShellsPerSquaredReach));
}

// The distinct spheres of the atom list in the grid's cell order, so that a cell's spheres
// are contiguous. Atoms with bit-identical centre and radius share one sphere: the point test
// sees nothing else of an atom, so such atoms have the same accessibility, and as neighbours
// they need testing once. This keeps piles of coincident atoms from costing quadratic time.
struct Spheres {
    std::vector<float> x, y, z, r;
    std::vector<bool> shared;             // stands for several atoms, each the other's neighbour
    std::vector<std::size_t> cell_start;  // first sphere of each cell, then the total
    std::vector<std::size_t> of_atom;     // meaningful for atoms placed in the grid

    Spheres(const AtomList& atoms, const NeighborGrid& grid) : of_atom(atoms.centres.size(), 0) {
        using Bits = std::array<std::uint32_t, 4>;
        const auto bits = [&atoms](std::size_t i) {
            const Point3& c = atoms.centres[i];
            return Bits{std::bit_cast<std::uint32_t>(c.x), std::bit_cast<std::uint32_t>(c.y),
                        std::bit_cast<std::uint32_t>(c.z), std::bit_cast<std::uint32_t>(atoms.radii[i])};
        };
        std::vector<std::size_t> ids;
        cell_start.push_back(0);
        for (std::size_t cell = 0; cell < grid.cell_count(); ++cell) {
            const auto members = grid.members(cell);
            ids.assign(members.begin(), members.end());
            std::sort(ids.begin(), ids.end(), [&bits](std::size_t a, std::size_t b) { return bits(a) < bits(b); });
            for (std::size_t k = 0; k < ids.size();) {
                std::size_t end = k + 1;
                while (end < ids.size() && bits(ids[end]) == bits(ids[k])) ++end;
                for (std::size_t q = k; q < end; ++q) of_atom[ids[q]] = x.size();
                x.push_back(atoms.centres[ids[k]].x);
                y.push_back(atoms.centres[ids[k]].y);
                z.push_back(atoms.centres[ids[k]].z);
                r.push_back(atoms.radii[ids[k]]);
                shared.push_back(end - k > 1);
                k = end;
            }
            cell_start.push_back(x.size());
        }
    }
};

// The spheres of one cell neighbourhood, four per vector; padding lanes have NaN centres,
// which no comparison accepts.
struct Pool {
    std::vector<Floats> x, y, z, r;

    void load(const Spheres& spheres, const std::vector<std::size_t>& cells) {
        std::size_t count = 0;
        for (std::size_t cell : cells) count += spheres.cell_start[cell + 1] - spheres.cell_start[cell];
        const std::size_t groups = (count + kWidth - 1) / kWidth;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        x.assign(groups, Floats{} + nan);
        y.assign(groups, Floats{} + nan);
        z.assign(groups, Floats{} + nan);
        r.assign(groups, Floats{});
        std::size_t k = 0;
        for (std::size_t cell : cells) {
            for (std::size_t s = spheres.cell_start[cell]; s < spheres.cell_start[cell + 1]; ++s, ++k) {
                x[k / kWidth][k % kWidth] = spheres.x[s];
                y[k / kWidth][k % kWidth] = spheres.y[s];
                z[k / kWidth][k % kWidth] = spheres.z[s];
                r[k / kWidth][k % kWidth] = spheres.r[s];
            }
        }
    }

    Point3 centre(std::size_t k) const {
        return Point3{x[k / kWidth][k % kWidth], y[k / kWidth][k % kWidth], z[k / kWidth][k % kWidth]};
    }
    float radius(std::size_t k) const { return r[k / kWidth][k % kWidth]; }
};

class AccessibilityPass {
public:
    AccessibilityPass(const AtomList& atoms, std::uint64_t sasa_points)
        : atoms_(atoms), points_(make_test_points(sasa_points)) {}

    std::vector<float> run() {
        const NeighborGrid grid(atoms_.centres, kCellSize);
        const Spheres spheres(atoms_, grid);
        std::vector<float> sphere_area(spheres.x.size());
        std::vector<std::size_t> cells;
        for (std::size_t cell = 0; cell < grid.cell_count(); ++cell) {
            cells.clear();
            grid.neighbourhood(cell, cells);
            pool_.load(spheres, cells);
            kept_.resize(pool_.x.size() * kWidth);
            // The cell's own spheres come first in the pool.
            const std::size_t first = spheres.cell_start[cell];
            for (std::size_t s = first; s < spheres.cell_start[cell + 1]; ++s) {
                sphere_area[s] = accessibility_of(s - first, spheres.shared[s]);
            }
        }
        // Atoms left out of the grid have a non-finite coordinate: every distance to them is
        // NaN or infinite, so they keep no neighbour and are no one's neighbour.
        std::vector<float> areas(atoms_.centres.size());
        for (std::size_t i = 0; i < areas.size(); ++i) areas[i] = full_area(atoms_.radii[i]);
        for (std::size_t cell = 0; cell < grid.cell_count(); ++cell) {
            for (std::size_t i : grid.members(cell)) areas[i] = sphere_area[spheres.of_atom[i]];
        }
        return areas;
    }

private:
    static float full_area(float r) { return r * r * kFourPi; }

    float accessibility_of(std::size_t self, bool shared) {
        const std::size_t kept = collect_overlapping(self, shared);
        const Point3 centre = pool_.centre(self);
        const float radius = pool_.radius(self);
        if (kept == 0) return full_area(radius);
        order_neighbours(self, kept);
        const std::uint64_t exposed = exposed_points(centre, radius, points_, nb_);
        return full_area(radius) * fraction(exposed);
    }

    // Fills kept_ with the pool spheres that overlap this one, (Ri + Rj)^2 > d^2, and returns
    // their number. A shared sphere overlaps itself, at distance 0; any other is hidden behind a
    // NaN centre meanwhile.
    std::size_t collect_overlapping(std::size_t self, bool shared) {
        const Point3 c = pool_.centre(self);
        const float ri = pool_.radius(self);
        if (!shared) pool_.x[self / kWidth][self % kWidth] = std::numeric_limits<float>::quiet_NaN();
        std::size_t n = 0;
        for (std::size_t g = 0; g < pool_.x.size(); ++g) {
            const Floats dx = c.x - pool_.x[g];
            const Floats dy = c.y - pool_.y[g];
            const Floats dz = c.z - pool_.z[g];
            const Floats d2 = (dx * dx + dy * dy) + dz * dz;
            const Floats reach = ri + pool_.r[g];
            const unsigned overlaps = lane_bits(reach * reach > d2);
            // Few spheres overlap; writing every slot and advancing on a hit avoids branches.
            for (std::size_t l = 0; l < kWidth; ++l) {
                kept_[n] = g * kWidth + l;
                n += (overlaps >> l) & 1;
            }
        }
        pool_.x[self / kWidth][self % kWidth] = c.x;
        return n;
    }

    void order_neighbours(std::size_t self, std::size_t kept) {
        std::size_t start[kShells + 1] = {};
        // Recomputing the few kept distances is cheaper than storing one for every pool sphere.
        const Point3 centre = pool_.centre(self);
        shells_.resize(kept);
        for (std::size_t k = 0; k < kept; ++k) {
            const Point3 c = pool_.centre(kept_[k]);
            const float dx = centre.x - c.x;
            const float dy = centre.y - c.y;
            const float dz = centre.z - c.z;
            shells_[k] = static_cast<std::uint8_t>(shell_of((dx * dx + dy * dy) + dz * dz));
            ++start[shells_[k] + 1];
        }
        for (std::size_t b = 0; b < kShells; ++b) start[b + 1] += start[b];
        nb_.resize(kept);
        for (std::size_t k = 0; k < kept; ++k) {
            const std::size_t slot = start[shells_[k]]++;
            const Point3 c = pool_.centre(kept_[k]);
            const float r = pool_.radius(kept_[k]);
            nb_[slot] = Neighbour{Floats{} + c.x, Floats{} + c.y, Floats{} + c.z, Floats{} + r * r};
        }
    }

    // With no test points nothing is sampled, so an atom with neighbours shows no surface.
    float fraction(std::uint64_t exposed) const {
        if (points_.count == 0) return 0.0f;
        return static_cast<float>(exposed) / static_cast<float>(points_.count);
    }

    const AtomList& atoms_;
    TestPoints points_;
    Pool pool_;
    std::vector<std::size_t> kept_;     // pool positions; sized to the pool, the first few in use
    std::vector<std::uint8_t> shells_;  // shell of each kept position
    std::vector<Neighbour> nb_;
};

}  // namespace

void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points) {
    const AtomList atoms = build_atom_list(residues);
    const std::vector<float> areas = AccessibilityPass(atoms, sasa_points).run();
    std::size_t atom = 0;
    for (std::size_t r = 0; r < residues.size(); ++r) {
        float sum = 0.0f;
        for (; atom < atoms.residue_end[r]; ++atom) sum += areas[atom];
        residues[r].accessibility = sum;
    }
}

}  // namespace tarnix::core
