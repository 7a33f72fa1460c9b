#include "core/sasa.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string_view>

#include "base/hashing.hpp"
#include "base/simd.hpp"

#ifdef TARNIX_X86_SIMD
#include <immintrin.h>
#endif

#include "core/neighbor_grid.hpp"

namespace tarnix::core {
namespace {

constexpr float kLargestRadius = kExpandedRadiusCA;
constexpr float kFourPi = 12.566371f;
constexpr float kGoldenAngle = 2.3999631f;

// Wider than the largest pair reach (2 * 3.27) so that rounding can never hide a neighbour
// two cells away.
constexpr float kCellSize = 7.0f;
static_assert(kCellSize <= NeighborGrid::kMaxCellSize);

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
        add(r.n, kExpandedRadiusN);
        add(r.ca, kExpandedRadiusCA);
        add(r.c, kExpandedRadiusC);
        add(r.o, kExpandedRadiusO);
        for (const Atom& a : r.atoms) add(a.position, kExpandedRadiusOther);
        list.residue_end.push_back(list.centres.size());
    }
    return list;
}

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

// Neighbours are tried in shells bounded by these squared distances (2 and 4 A): bonded atoms
// first, as they cover the most points, then the other near ones, then the rest. A finer order
// costs more than it saves. The order cannot change a result, since a point is buried exactly
// when some neighbour covers it.
constexpr std::array kShellBounds{4.0f, 16.0f};

// A cell's spheres are tested in groups of consecutive ones, mostly of one residue or two:
// each group against only the pool spheres that can reach it, under half of the pool. Sifting
// the pool costs more than it saves for a group of one or two.
constexpr std::size_t kGroup = 8;
constexpr std::size_t kSmallestGroup = 3;
constexpr float kGroupMargin = 1.001f;

// Vectors of lanes need the alignment of the widest kernel, which code built for the baseline
// instruction set does not know about.
template <class T>
struct LaneAllocator {
    using value_type = T;
    static constexpr std::align_val_t kAlignment{64};

    LaneAllocator() = default;
    template <class U>
    LaneAllocator(const LaneAllocator<U>&) {}

    T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T), kAlignment)); }
    void deallocate(T* p, std::size_t) { ::operator delete(p, kAlignment); }
    bool operator==(const LaneAllocator&) const = default;
};

template <class T>
using LaneVector = std::vector<T, LaneAllocator<T>>;

float full_area(float r) { return r * r * kFourPi; }

// With no test points nothing is sampled, so an atom with neighbours shows no surface.
float fraction(std::uint64_t exposed, std::uint64_t count) {
    if (count == 0) return 0.0f;
    return static_cast<float>(exposed) / static_cast<float>(count);
}

// Cells are handed out in chunks: enough for the threads to balance, few enough that each
// chunk's set-up stays small beside its work.
constexpr std::size_t kItemsPerChunk = 64;

// Runs work(first, end) over [0, count), in chunks on parallel_for's threads when there is one.
void for_chunks(std::size_t count, const ParallelFor* parallel_for,
                const std::function<void(std::size_t, std::size_t)>& work) {
    if (parallel_for == nullptr) {
        work(0, count);
        return;
    }
    (*parallel_for)((count + kItemsPerChunk - 1) / kItemsPerChunk, [&](std::size_t chunk) {
        const std::size_t first = chunk * kItemsPerChunk;
        work(first, std::min(count, first + kItemsPerChunk));
    });
}

// The distinct spheres of the atom list in the grid's cell order, so that a cell's spheres
// are contiguous. Atoms with bit-identical centre and radius share one sphere: the point test
// sees nothing else of an atom, so such atoms have the same accessibility, and as neighbours
// they need testing once. This keeps piles of coincident atoms from costing quadratic time.
struct Spheres {
    static constexpr std::size_t kOutsideGrid = std::numeric_limits<std::size_t>::max();
    static constexpr std::size_t kPadding = 16;  // the widest kernel's lanes

    std::vector<float> x, y, z, r;     // then kPadding spheres that overlap nothing
    std::vector<std::uint8_t> shared;  // stands for several atoms, each the other's neighbour
    // The cells in the order of their keys, so that cells stacked along z lie side by side and
    // a neighbourhood is a few runs of spheres; spheres follow that order.
    std::vector<std::size_t> cell_at;     // cell of each rank
    std::vector<std::size_t> rank_of;     // rank of each cell
    std::vector<std::size_t> rank_start;  // first sphere of each rank, then the total
    std::vector<std::size_t> of_atom;     // kOutsideGrid for atoms the grid left out

    Spheres(const AtomList& atoms, const NeighborGrid& grid, const ParallelFor* parallel_for)
        : cell_at(grid.cells_by_key()), rank_of(cell_at.size()), of_atom(atoms.centres.size(), kOutsideGrid) {
        using Bits = std::array<std::uint32_t, 4>;
        const auto bits = [&atoms](std::size_t i) {
            const Point3& c = atoms.centres[i];
            return Bits{std::bit_cast<std::uint32_t>(c.x), std::bit_cast<std::uint32_t>(c.y),
                        std::bit_cast<std::uint32_t>(c.z), std::bit_cast<std::uint32_t>(atoms.radii[i])};
        };
        const std::size_t cells = grid.cell_count();
        std::vector<std::size_t> member_start(cells + 1, 0);
        for (std::size_t rank = 0; rank < cells; ++rank) {
            rank_of[cell_at[rank]] = rank;
            member_start[rank + 1] = member_start[rank] + grid.members(cell_at[rank]).size();
        }
        // Each member's sphere among its cell's distinct spheres, numbered in order of first
        // appearance; equal spheres are found through a small hash table per cell.
        std::vector<std::uint32_t> local(member_start[cells]);
        rank_start.assign(cells + 1, 0);
        for_chunks(cells, parallel_for, [&](std::size_t first, std::size_t end) {
            std::vector<std::size_t> table;  // a member of each distinct sphere, or kEmpty
            for (std::size_t rank = first; rank < end; ++rank) {
                const auto members = grid.members(cell_at[rank]);
                const std::size_t slots = std::bit_ceil(2 * members.size());
                table.assign(slots, kEmpty);
                std::uint32_t distinct = 0;
                for (std::size_t k = 0; k < members.size(); ++k) {
                    const Bits key = bits(members[k]);
                    base::Hasher hasher;
                    for (std::uint32_t word : key) hasher.add(word);
                    std::size_t slot = hasher.value() & (slots - 1);
                    while (table[slot] != kEmpty && bits(members[table[slot]]) != key) slot = (slot + 1) & (slots - 1);
                    if (table[slot] == kEmpty) {
                        table[slot] = k;
                        local[member_start[rank] + k] = distinct++;
                    } else {
                        local[member_start[rank] + k] = local[member_start[rank] + table[slot]];
                    }
                }
                rank_start[rank + 1] = distinct;
            }
        });
        for (std::size_t rank = 0; rank < cells; ++rank) rank_start[rank + 1] += rank_start[rank];
        // Past the last sphere, a vector's worth of ones that overlap nothing, so that runs of
        // spheres can be copied a whole vector at a time.
        const float nan = std::numeric_limits<float>::quiet_NaN();
        x.assign(rank_start[cells] + kPadding, nan);
        y.assign(x.size(), nan);
        z.assign(x.size(), nan);
        r.assign(x.size(), 0.0f);
        shared.assign(rank_start[cells], 0);
        for_chunks(cells, parallel_for, [&](std::size_t first, std::size_t end) {
            for (std::size_t rank = first; rank < end; ++rank) {
                const auto members = grid.members(cell_at[rank]);
                std::uint32_t placed = 0;
                for (std::size_t k = 0; k < members.size(); ++k) {
                    const std::uint32_t l = local[member_start[rank] + k];
                    const std::size_t s = rank_start[rank] + l;
                    of_atom[members[k]] = s;
                    if (l == placed) {
                        x[s] = atoms.centres[members[k]].x;
                        y[s] = atoms.centres[members[k]].y;
                        z[s] = atoms.centres[members[k]].z;
                        r[s] = atoms.radii[members[k]];
                        ++placed;
                    } else {
                        shared[s] = 1;
                    }
                }
            }
        });
    }

private:
    static constexpr std::size_t kEmpty = std::numeric_limits<std::size_t>::max();
};

// Four lanes: one SSE register, or whatever the target offers.
namespace baseline {
#define TARNIX_SASA_TARGET
typedef float Floats __attribute__((vector_size(16)));
typedef std::int32_t Mask __attribute__((vector_size(16)));
typedef Floats Lane;
typedef Floats HalfFloats;
constexpr std::size_t kWidth = 4;
constexpr std::size_t kHalfWidth = kWidth;
constexpr std::size_t kFirstRound = 3;
constexpr std::size_t kRound = 6;

unsigned lane_bits(const Mask& m) {
#ifdef TARNIX_X86_SIMD
    return static_cast<unsigned>(_mm_movemask_ps(reinterpret_cast<__m128>(m)));
#else
    unsigned bits = 0;
    for (std::size_t l = 0; l < kWidth; ++l) bits |= static_cast<unsigned>(m[l] & 1) << l;
    return bits;
#endif
}

unsigned less_bits(const Floats& a, const Floats& b) { return lane_bits(a < b); }

// Writing every slot and advancing on a kept lane avoids branches.
std::size_t keep_positions(unsigned bits, std::uint32_t first, std::uint32_t* index, std::size_t n) {
    for (std::size_t l = 0; l < kWidth; ++l) {
        index[n] = first + static_cast<std::uint32_t>(l);
        n += (bits >> l) & 1;
    }
    return n;
}

std::size_t keep_lanes(unsigned bits, const Mask& values, std::uint32_t* out, std::size_t n) {
    for (std::size_t l = 0; l < kWidth; ++l) {
        out[n] = static_cast<std::uint32_t>(values[l]);
        n += (bits >> l) & 1;
    }
    return n;
}

std::size_t keep_lanes(unsigned bits, std::uint32_t first, const Floats& d2, std::uint32_t* index, float* dist,
                       std::size_t n) {
    for (std::size_t l = 0, k = n; l < kWidth; ++l) {
        dist[k] = d2[l];
        k += (bits >> l) & 1;
    }
    return keep_positions(bits, first, index, n);
}

std::size_t keep_lanes(unsigned bits, const Floats& x, const Floats& y, const Floats& z, float* ox, float* oy,
                       float* oz, std::size_t n) {
    for (std::size_t l = 0; l < kWidth; ++l) {
        ox[n] = x[l];
        oy[n] = y[l];
        oz[n] = z[l];
        n += (bits >> l) & 1;
    }
    return n;
}

std::size_t keep_lanes(unsigned bits, const Floats& x, const Floats& y, const Floats& z, const Floats& r, float* ox,
                       float* oy, float* oz, float* out_r, std::size_t n) {
    for (std::size_t l = 0; l < kWidth; ++l) {
        ox[n] = x[l];
        oy[n] = y[l];
        oz[n] = z[l];
        out_r[n] = r[l];
        n += (bits >> l) & 1;
    }
    return n;
}

#include "core/sasa_kernel.inc"
#undef TARNIX_SASA_TARGET
#undef TARNIX_SASA_STEP
}  // namespace baseline

#ifdef TARNIX_X86_SIMD
namespace avx2 {
#define TARNIX_SASA_TARGET __attribute__((target("avx2")))
typedef float Floats __attribute__((vector_size(32)));
typedef std::int32_t Mask __attribute__((vector_size(32)));
// A broadcast load costs no more than a plain one here.
typedef float Lane;
typedef Floats HalfFloats;
constexpr std::size_t kWidth = 8;
constexpr std::size_t kHalfWidth = kWidth;
constexpr std::size_t kFirstRound = 3;
constexpr std::size_t kRound = 6;

TARNIX_SASA_TARGET unsigned lane_bits(const Mask& m) {
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
}

TARNIX_SASA_TARGET unsigned less_bits(const Floats& a, const Floats& b) {
    return static_cast<unsigned>(
        _mm256_movemask_ps(_mm256_cmp_ps(reinterpret_cast<__m256>(a), reinterpret_cast<__m256>(b), _CMP_LT_OQ)));
}

// Lane numbers of the set bits of each 8-bit mask, packed to the front.
constexpr auto kPackedLanes = [] {
    std::array<std::array<std::uint8_t, 8>, 256> table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        std::size_t n = 0;
        for (std::uint8_t l = 0; l < 8; ++l) {
            if ((bits >> l) & 1) table[bits][n++] = l;
        }
    }
    return table;
}();

// The permutation that moves the set lanes of bits to the front.
TARNIX_SASA_TARGET __m256i packing(unsigned bits) {
    std::int64_t packed;
    std::memcpy(&packed, kPackedLanes[bits].data(), sizeof packed);
    return _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(packed));
}

TARNIX_SASA_TARGET std::size_t keep_positions(unsigned bits, std::uint32_t first, std::uint32_t* index, std::size_t n) {
    const __m256i positions = _mm256_add_epi32(packing(bits), _mm256_set1_epi32(static_cast<int>(first)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(index + n), positions);
    return n + static_cast<std::size_t>(std::popcount(bits));
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, const Mask& values, std::uint32_t* out, std::size_t n) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n),
                        _mm256_permutevar8x32_epi32(reinterpret_cast<__m256i>(values), packing(bits)));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, std::uint32_t first, const Floats& d2, std::uint32_t* index,
                                          float* dist, std::size_t n) {
    _mm256_storeu_ps(dist + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(d2), packing(bits)));
    return keep_positions(bits, first, index, n);
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, const Floats& x, const Floats& y, const Floats& z, float* ox,
                                          float* oy, float* oz, std::size_t n) {
    const __m256i lanes = packing(bits);
    _mm256_storeu_ps(ox + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(x), lanes));
    _mm256_storeu_ps(oy + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(y), lanes));
    _mm256_storeu_ps(oz + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(z), lanes));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, const Floats& x, const Floats& y, const Floats& z,
                                          const Floats& r, float* ox, float* oy, float* oz, float* out_r,
                                          std::size_t n) {
    const __m256i lanes = packing(bits);
    _mm256_storeu_ps(ox + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(x), lanes));
    _mm256_storeu_ps(oy + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(y), lanes));
    _mm256_storeu_ps(oz + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(z), lanes));
    _mm256_storeu_ps(out_r + n, _mm256_permutevar8x32_ps(reinterpret_cast<__m256>(r), lanes));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

#include "core/sasa_kernel.inc"
#undef TARNIX_SASA_TARGET
#undef TARNIX_SASA_STEP
}  // namespace avx2

// Sixteen lanes. Where the processor splits 512-bit operations in two, the arithmetic per
// point is no faster, but the packing and the loop overhead are halved.
namespace avx512 {
#define TARNIX_SASA_TARGET __attribute__((target("avx512f,avx512dq")))
typedef float Floats __attribute__((vector_size(64)));
typedef std::int32_t Mask __attribute__((vector_size(64)));
typedef float Lane;
// The processor may split 512-bit operations in two, so the last few open points are tested
// eight at a time.
typedef float HalfFloats __attribute__((vector_size(32)));
typedef std::int32_t HalfMask __attribute__((vector_size(32)));
constexpr std::size_t kWidth = 16;
constexpr std::size_t kHalfWidth = 8;
constexpr std::size_t kFirstRound = 3;
constexpr std::size_t kRound = 6;

TARNIX_SASA_TARGET unsigned lane_bits(const Mask& m) {
    return static_cast<unsigned>(_mm512_movepi32_mask(reinterpret_cast<__m512i>(m)));
}

TARNIX_SASA_TARGET unsigned lane_bits(const HalfMask& m) {
    return static_cast<unsigned>(_mm256_movemask_ps(reinterpret_cast<__m256>(m)));
}

// Straight to a mask register: through a vector of lanes the comparison costs two more steps.
TARNIX_SASA_TARGET unsigned less_bits(const Floats& a, const Floats& b) {
    return static_cast<unsigned>(
        _mm512_cmp_ps_mask(reinterpret_cast<__m512>(a), reinterpret_cast<__m512>(b), _CMP_LT_OQ));
}

// Compressed in a register, then stored whole: a compressing store is slow on some processors.
TARNIX_SASA_TARGET std::size_t keep_positions(unsigned bits, std::uint32_t first, std::uint32_t* index, std::size_t n) {
    const __m512i lanes = _mm512_add_epi32(_mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0),
                                           _mm512_set1_epi32(static_cast<int>(first)));
    _mm512_storeu_si512(index + n, _mm512_maskz_compress_epi32(static_cast<__mmask16>(bits), lanes));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, const Mask& values, std::uint32_t* out, std::size_t n) {
    _mm512_storeu_si512(out + n,
                        _mm512_maskz_compress_epi32(static_cast<__mmask16>(bits), reinterpret_cast<__m512i>(values)));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, std::uint32_t first, const Floats& d2, std::uint32_t* index,
                                          float* dist, std::size_t n) {
    _mm512_storeu_ps(dist + n, _mm512_maskz_compress_ps(static_cast<__mmask16>(bits), reinterpret_cast<__m512>(d2)));
    return keep_positions(bits, first, index, n);
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, const Floats& x, const Floats& y, const Floats& z, float* ox,
                                          float* oy, float* oz, std::size_t n) {
    const __mmask16 k = static_cast<__mmask16>(bits);
    _mm512_storeu_ps(ox + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(x)));
    _mm512_storeu_ps(oy + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(y)));
    _mm512_storeu_ps(oz + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(z)));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

TARNIX_SASA_TARGET std::size_t keep_lanes(unsigned bits, const Floats& x, const Floats& y, const Floats& z,
                                          const Floats& r, float* ox, float* oy, float* oz, float* out_r,
                                          std::size_t n) {
    const __mmask16 k = static_cast<__mmask16>(bits);
    _mm512_storeu_ps(ox + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(x)));
    _mm512_storeu_ps(oy + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(y)));
    _mm512_storeu_ps(oz + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(z)));
    _mm512_storeu_ps(out_r + n, _mm512_maskz_compress_ps(k, reinterpret_cast<__m512>(r)));
    return n + static_cast<std::size_t>(std::popcount(bits));
}

#include "core/sasa_kernel.inc"
#undef TARNIX_SASA_TARGET
#undef TARNIX_SASA_STEP
}  // namespace avx512
#endif

using SphereAreas = void (*)(const Spheres&, const NeighborGrid&, std::uint64_t, std::size_t, std::size_t, float*);

SphereAreas sphere_areas_of(SasaKernel kernel) {
#ifdef TARNIX_X86_SIMD
    if (kernel == SasaKernel::Avx512 && sasa_kernel_supported(kernel)) return avx512::sphere_areas;
    if (kernel == SasaKernel::Avx2 && sasa_kernel_supported(kernel)) return avx2::sphere_areas;
#endif
    (void)kernel;
    return baseline::sphere_areas;
}

void accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points, SasaKernel kernel,
                   const ParallelFor* parallel_for) {
    const AtomList atoms = build_atom_list(residues);
    const NeighborGrid grid(atoms.centres, kCellSize);
    const Spheres spheres(atoms, grid, parallel_for);
    std::vector<float> sphere_area(spheres.rank_start.back());
    const SphereAreas sphere_areas = sphere_areas_of(kernel);
    for_chunks(grid.cell_count(), parallel_for, [&](std::size_t first, std::size_t end) {
        sphere_areas(spheres, grid, sasa_points, first, end, sphere_area.data());
    });
    for_chunks(residues.size(), parallel_for, [&](std::size_t first, std::size_t end) {
        std::size_t atom = first == 0 ? 0 : atoms.residue_end[first - 1];
        for (std::size_t k = first; k < end; ++k) {
            float sum = 0.0f;
            for (; atom < atoms.residue_end[k]; ++atom) {
                // Atoms left out of the grid have a non-finite coordinate: every distance to
                // them is NaN or infinite, so they keep no neighbour and are no one's neighbour.
                const std::size_t s = spheres.of_atom[atom];
                sum += s == Spheres::kOutsideGrid ? full_area(atoms.radii[atom]) : sphere_area[s];
            }
            residues[k].accessibility = sum;
        }
    });
}

}  // namespace

bool sasa_kernel_supported(SasaKernel kernel) {
    switch (kernel) {
        case SasaKernel::Baseline: return true;
        case SasaKernel::Avx2:
#ifdef TARNIX_X86_SIMD
            return __builtin_cpu_supports("avx2");
#else
            return false;
#endif
        case SasaKernel::Avx512:
#ifdef TARNIX_X86_SIMD
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
#else
            return false;
#endif
    }
    return false;
}

SasaKernel default_sasa_kernel() {
    static const SasaKernel chosen = [] {
        const char* forced = std::getenv("TARNIX_SASA_KERNEL");
        const std::string_view cap = forced != nullptr ? forced : "";
        if (cap == "baseline") return SasaKernel::Baseline;
        if (cap != "avx2" && sasa_kernel_supported(SasaKernel::Avx512)) return SasaKernel::Avx512;
        return sasa_kernel_supported(SasaKernel::Avx2) ? SasaKernel::Avx2 : SasaKernel::Baseline;
    }();
    return chosen;
}

void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points) {
    accessibility(residues, sasa_points, default_sasa_kernel(), nullptr);
}

void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points, SasaKernel kernel) {
    accessibility(residues, sasa_points, kernel, nullptr);
}

void compute_accessibility(std::vector<Residue>& residues, std::uint64_t sasa_points, SasaKernel kernel,
                           const ParallelFor& parallel_for) {
    accessibility(residues, sasa_points, kernel, &parallel_for);
}

}  // namespace tarnix::core
