#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "core/assign.hpp"
#include "core/sasa.hpp"
#include "io/structure_file.hpp"

namespace tarnix::core {
namespace {

constexpr float kN = kExpandedRadiusN;
constexpr float kCA = kExpandedRadiusCA;
constexpr float kC = kExpandedRadiusC;
constexpr float kO = kExpandedRadiusO;
constexpr float kSide = kExpandedRadiusOther;

float full_area(float r) { return r * r * 12.566371f; }

// The calculation written out literally: all pairs, a stable nearest-first order and an early
// exit per point.
std::vector<float> reference_accessibility(const std::vector<Residue>& residues, std::uint64_t m) {
    struct Sphere {
        Point3 c;
        float r;
    };
    std::vector<Sphere> atoms;
    std::vector<std::size_t> owner;
    for (std::size_t k = 0; k < residues.size(); ++k) {
        const Residue& res = residues[k];
        for (const Sphere& s : {Sphere{res.n, kN}, Sphere{res.ca, kCA}, Sphere{res.c, kC}, Sphere{res.o, kO}}) {
            atoms.push_back(s);
            owner.push_back(k);
        }
        for (const Atom& a : res.atoms) {
            atoms.push_back(Sphere{a.position, kSide});
            owner.push_back(k);
        }
    }
    std::vector<Point3> unit;
    for (std::uint64_t k = 0; k < m; ++k) {
        const float t = m == 1 ? 0.0f : static_cast<float>(k) / static_cast<float>(m - 1);
        const float y = 1.0f - 2.0f * t;
        const float r = sqrtf(1.0f - y * y);
        const float theta = static_cast<float>(k) * 2.3999631f;
        unit.push_back(Point3{r * cosf(theta), y, r * sinf(theta)});
    }
    const auto dist2 = [](const Point3& a, const Point3& b) {
        const float dx = a.x - b.x, dy = a.y - b.y, dz = a.z - b.z;
        return (dx * dx + dy * dy) + dz * dz;
    };
    std::vector<float> result(residues.size(), 0.0f);
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        const Sphere& a = atoms[i];
        const float query = (a.r + 3.27f) * (a.r + 3.27f);
        std::vector<std::pair<float, std::size_t>> found;
        for (std::size_t j = 0; j < atoms.size(); ++j) {
            const float d2 = dist2(atoms[j].c, a.c);
            if (d2 < query) found.emplace_back(d2, j);
        }
        std::stable_sort(found.begin(), found.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        std::vector<std::size_t> kept;
        for (const auto& [d2, j] : found) {
            if (j != i && (a.r + atoms[j].r) * (a.r + atoms[j].r) > d2) kept.push_back(j);
        }
        float area = full_area(a.r);
        if (!kept.empty()) {
            std::uint64_t exposed = 0;
            for (const Point3& u : unit) {
                const Point3 p{a.c.x + a.r * u.x, a.c.y + a.r * u.y, a.c.z + a.r * u.z};
                bool buried = false;
                for (std::size_t j : kept) {
                    if (atoms[j].r * atoms[j].r > dist2(p, atoms[j].c)) {
                        buried = true;
                        break;
                    }
                }
                if (!buried) ++exposed;
            }
            const float fraction = m == 0 ? 0.0f : static_cast<float>(exposed) / static_cast<float>(m);
            area = area * fraction;
        }
        result[owner[i]] += area;
    }
    return result;
}

std::vector<Residue> read_residues(const std::string& name) {
    auto read = io::read_structure_file(std::string(TARNIX_TEST_DATA) + "/" + name);
    auto* structure = std::get_if<Structure>(&read);
    return structure ? std::move(structure->residues) : std::vector<Residue>{};
}

Residue residue_at(const Point3& n, const Point3& ca, const Point3& c, const Point3& o) {
    Residue r;
    r.n = n;
    r.ca = ca;
    r.c = c;
    r.o = o;
    return r;
}

// Backbone atoms far apart along x, so that none overlaps another.
Residue spread_residue(float x0) { return residue_at({x0, 0, 0}, {x0 + 20, 0, 0}, {x0 + 40, 0, 0}, {x0 + 60, 0, 0}); }

void expect_same_bits(const std::vector<Residue>& residues, const std::vector<float>& expected) {
    ASSERT_EQ(residues.size(), expected.size());
    for (std::size_t k = 0; k < residues.size(); ++k) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(residues[k].accessibility), std::bit_cast<std::uint32_t>(expected[k]))
            << "residue " << k << ": " << residues[k].accessibility << " vs " << expected[k];
    }
}

TEST(Accessibility, IsolatedAtomsHaveTheirFullArea) {
    std::vector<Residue> residues{spread_residue(0)};
    residues[0].atoms.push_back(Atom{"CB", {80, 0, 0}});
    residues[0].h = Point3{0.5f, 0, 0};  // inside N: would bury part of it if it counted
    compute_accessibility(residues, 100);
    const float expected = (((full_area(kN) + full_area(kCA)) + full_area(kC)) + full_area(kO)) + full_area(kSide);
    EXPECT_EQ(residues[0].accessibility, expected);
    EXPECT_EQ(full_area(kC), 125.482735f);
    EXPECT_EQ(full_area(kN), 116.89867f);
    EXPECT_EQ(full_area(kO), 98.520348f);
}

TEST(Accessibility, SpheresThatOnlyTouchDoNotBury) {
    std::vector<Residue> residues{residue_at({0, 0, 0}, {kN + kCA, 0, 0}, {100, 0, 0}, {200, 0, 0})};
    compute_accessibility(residues, 100);
    EXPECT_EQ(residues[0].accessibility, ((full_area(kN) + full_area(kCA)) + full_area(kC)) + full_area(kO));
}

TEST(Accessibility, PointExactlyOnANeighbourSphereIsExposed) {
    // Test point 0 of the first N is (0, kN, 0); the second N is centred kN away from it.
    const auto first_residue = [](float x) {
        std::vector<Residue> residues{residue_at({0, 0, 0}, {100, 0, 0}, {200, 0, 0}, {300, 0, 0}),
                                      residue_at({x, kN, 0}, {100, 50, 0}, {200, 50, 0}, {300, 50, 0})};
        compute_accessibility(residues, 100);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(residues[0].accessibility),
                  std::bit_cast<std::uint32_t>(reference_accessibility(residues, 100)[0]));
        return residues[0].accessibility;
    };
    const float on_sphere = first_residue(kN);
    const float inside = first_residue(std::nextafter(kN, 0.0f));
    EXPECT_LT(inside, on_sphere);
    EXPECT_LT(on_sphere, ((full_area(kN) + full_area(kCA)) + full_area(kC)) + full_area(kO));
}

TEST(Accessibility, AtomInsideALargerOneContributesNothing) {
    // O (2.8) at the centre of a side-chain atom (3.2): every point of O is buried.
    std::vector<Residue> residues{spread_residue(0)};
    residues[0].atoms.push_back(Atom{"CB", residues[0].o});
    residues[0].atoms[0].position.x += 0.1f;
    compute_accessibility(residues, 100);
    // The side-chain sphere encloses O's, so O never reaches its surface points.
    EXPECT_EQ(residues[0].accessibility,
              (((full_area(kN) + full_area(kCA)) + full_area(kC)) + 0.0f) + full_area(kSide));
}

TEST(Accessibility, OtherChainsBuryLikeTheSameChain) {
    std::vector<Residue> one_chain{spread_residue(0), spread_residue(1)};
    std::vector<Residue> two_chains = one_chain;
    two_chains[1].chain_id = "B";
    compute_accessibility(one_chain, 100);
    compute_accessibility(two_chains, 100);
    expect_same_bits(two_chains, reference_accessibility(two_chains, 100));
    expect_same_bits(two_chains, {one_chain[0].accessibility, one_chain[1].accessibility});
    EXPECT_LT(two_chains[0].accessibility, ((full_area(kN) + full_area(kCA)) + full_area(kC)) + full_area(kO));
}

TEST(Accessibility, CoincidentAtomsBuryEachOther) {
    const Residue base = spread_residue(0);
    Residue ulp_apart = base;
    ulp_apart.ca.x = std::nextafter(ulp_apart.ca.x, 100.0f);
    Residue signed_zero = base;
    signed_zero.n.x = -0.0f;
    const std::vector<std::vector<Residue>> cases{
        {base, base}, {base, base, base}, {base, ulp_apart}, {base, signed_zero}, {base, base, ulp_apart}};
    for (std::vector<Residue> residues : cases) {
        compute_accessibility(residues, 100);
        expect_same_bits(residues, reference_accessibility(residues, 100));
    }
}

TEST(Accessibility, NonFiniteAndHugeCoordinatesFollowTheComparisons) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<Residue> residues{
        residue_at({nan, 0, 0}, {1, 0, 0}, {inf, 0, 0}, {inf, 0, 0}),
        residue_at({0, nan, 0}, {1e30f, 0, 0}, {1e30f, 0, 1}, {-3e38f, 3e38f, 0}),
        residue_at({1e30f, 0, 2}, {-inf, -inf, -inf}, {2, 0, 0}, {-3e38f, 3e38f, 1}),
        residue_at({0x1p30f, 0, 0}, {0x1p30f - 64.0f, 0, 0}, {0x1p30f + 128.0f, 0, 0}, {1e-30f, 0, 0}),
    };
    compute_accessibility(residues, 100);
    expect_same_bits(residues, reference_accessibility(residues, 100));
}

TEST(Accessibility, EdgePointCountsAreDefined) {
    std::vector<Residue> base{spread_residue(0), spread_residue(1.5f)};
    base[0].atoms.push_back(Atom{"CB", {0, 0, 10}});
    for (std::uint64_t m : {0u, 1u, 2u, 7u, 9u, 100u}) {
        std::vector<Residue> residues = base;
        compute_accessibility(residues, m);
        expect_same_bits(residues, reference_accessibility(residues, m));
    }
    std::vector<Residue> residues = base;
    compute_accessibility(residues, 0);
    // Isolated atoms keep their full area; overlapping ones show nothing.
    EXPECT_EQ(residues[0].accessibility, full_area(kSide));
}

// Crowded random residues: whole copies of other residues, side-chain atoms on backbone atoms,
// atoms a rounding step apart and atoms on the walls between grid cells.
std::vector<Residue> crowded_residues(std::mt19937& rng) {
    std::uniform_real_distribution<float> box(-9.0f, 9.0f);
    std::uniform_int_distribution<int> wall(-2, 2);
    std::uniform_int_distribution<int> choice(0, 9);
    const auto point = [&]() -> Point3 {
        switch (choice(rng)) {
            case 0: return {7.0f * static_cast<float>(wall(rng)), box(rng), 7.0f * static_cast<float>(wall(rng))};
            case 1: return {-0.0f, box(rng), 0.0f};
            default: return {box(rng), box(rng), box(rng)};
        }
    };
    std::vector<Residue> residues(std::uniform_int_distribution<int>(5, 40)(rng));
    for (std::size_t k = 0; k < residues.size(); ++k) {
        Residue& r = residues[k];
        const int kind = choice(rng);
        if (k > 0 && kind < 2) {
            r = residues[std::uniform_int_distribution<std::size_t>(0, k - 1)(rng)];
            continue;
        }
        r = residue_at(point(), point(), point(), point());
        if (kind == 2) r.ca = r.n;
        if (kind == 3) r.c.x = std::nextafter(r.c.x, 100.0f);
        for (int a = choice(rng) % 4; a > 0; --a) r.atoms.push_back(Atom{"X", choice(rng) < 3 ? r.o : point()});
    }
    return residues;
}

TEST(Accessibility, MatchesTheLiteralCalculationOnCrowdedRandomAtoms) {
    std::mt19937 rng(99);
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<Residue> residues = crowded_residues(rng);
        const std::vector<float> expected = reference_accessibility(residues, 100);
        compute_accessibility(residues, 100);
        expect_same_bits(residues, expected);
    }
}

TEST(Accessibility, EmptyInputIsFine) {
    std::vector<Residue> residues;
    compute_accessibility(residues, 100);
    EXPECT_TRUE(residues.empty());
}

class RealStructure : public ::testing::TestWithParam<const char*> {};

TEST_P(RealStructure, MatchesTheLiteralCalculationBitForBit) {
    std::vector<Residue> residues = read_residues(GetParam());
    ASSERT_FALSE(residues.empty());
    const std::vector<float> expected = reference_accessibility(residues, 100);
    compute_accessibility(residues, 100);
    expect_same_bits(residues, expected);
    for (const Residue& r : residues) {
        EXPECT_GE(r.accessibility, 0.0f);
        EXPECT_LT(r.accessibility, 600.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RealStructure,
                         ::testing::Values("1ubq.pdb", "1ejg.pdb", "4hhb.pdb", "1d3z.pdb", "1aki.cif"));

// Hands the tasks out to three threads in an interleaved order.
void three_threads(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (std::size_t i = count - 1 - t; i < count; i -= 3) task(i);
        });
    }
    for (std::thread& thread : threads) thread.join();
}

// Every supported kernel gives the literal calculation's bits with m test points.
void expect_every_kernel_literal(const std::vector<Residue>& residues, std::uint64_t m) {
    const std::vector<float> expected = reference_accessibility(residues, m);
    for (SasaKernel kernel : {SasaKernel::Baseline, SasaKernel::Avx2, SasaKernel::Avx512}) {
        if (!sasa_kernel_supported(kernel)) continue;
        std::vector<Residue> computed = residues;
        compute_accessibility(computed, m, kernel);
        expect_same_bits(computed, expected);
    }
}

// Every kernel, alone or spread over threads, gives the baseline's bits.
void expect_kernels_agree(const std::vector<Residue>& residues) {
    std::vector<Residue> baseline = residues;
    compute_accessibility(baseline, 100, SasaKernel::Baseline);
    std::vector<float> expected;
    for (const Residue& r : baseline) expected.push_back(r.accessibility);
    for (SasaKernel kernel : {SasaKernel::Baseline, SasaKernel::Avx2, SasaKernel::Avx512}) {
        if (!sasa_kernel_supported(kernel)) continue;
        std::vector<Residue> alone = residues;
        compute_accessibility(alone, 100, kernel);
        expect_same_bits(alone, expected);
        std::vector<Residue> spread = residues;
        compute_accessibility(spread, 100, kernel, three_threads);
        expect_same_bits(spread, expected);
    }
}

TEST(AccessibilityKernels, AgreeOnCrowdedRandomAtoms) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 40; ++trial) expect_kernels_agree(crowded_residues(rng));
}

TEST(AccessibilityKernels, AgreeOnRealStructures) {
    for (const char* name : {"4hhb.pdb", "1ake.cif", "1aki.pdb"}) {
        const std::vector<Residue> residues = read_residues(name);
        ASSERT_FALSE(residues.empty()) << name;
        expect_kernels_agree(residues);
    }
}

// Point counts around whole vectors, and neighbour lists of every length, leave partly filled
// vectors in every round of the point tests.
TEST(AccessibilityKernels, MatchTheLiteralCalculationForAnyPointCount) {
    const std::vector<Residue> residues = read_residues("1ubq.pdb");
    ASSERT_FALSE(residues.empty());
    for (std::uint64_t m : {1u, 3u, 4u, 5u, 8u, 15u, 17u, 31u, 257u}) {
        expect_every_kernel_literal(residues, m);
    }
}

// One atom with every count of neighbours up to a few rounds' worth, spread over the distance
// shells or all near: the last round is cut short at every length, fewer than a first round
// are padded, and the near shells fill most of the list. Each neighbour list is read round by
// round, so a stale or missing record shows.
TEST(AccessibilityKernels, MatchTheLiteralCalculationForEveryNeighbourCount) {
    const std::array<std::vector<float>, 2> distances{std::vector<float>{1.2f, 2.5f, 3.5f, 5.0f, 6.0f},
                                                      std::vector<float>{0.8f, 1.5f, 3.0f}};
    for (const std::vector<float>& shells : distances) {
        for (std::size_t n = 0; n <= 40; ++n) {
            std::vector<Residue> residues{spread_residue(0), spread_residue(200)};
            for (std::size_t k = 0; k < n; ++k) {
                const float y = 1.0f - 2.0f * (static_cast<float>(k) + 0.5f) / static_cast<float>(n);
                const float ring = std::sqrt(1.0f - y * y);
                const float theta = static_cast<float>(k) * 2.3999631f;
                const float d = shells[k % shells.size()];
                residues[1].atoms.push_back(Atom{"X", {d * ring * std::cos(theta), d * y, d * ring * std::sin(theta)}});
            }
            for (std::uint64_t m : {100u, 37u}) expect_every_kernel_literal(residues, m);
        }
    }
}

// Far from the origin coordinates are coarse, and at the last offset atoms collapse onto a
// lattice 2 A wide: every shortcut that skips spheres must still keep all that bury a point.
TEST(AccessibilityKernels, MatchTheLiteralCalculationFarFromTheOrigin) {
    const std::vector<Residue> original = read_residues("1ubq.pdb");
    ASSERT_FALSE(original.empty());
    for (const Point3 offset : {Point3{4096.5f, -3e4f, 1e5f}, Point3{-1e6f, 2e6f, 1e6f}, Point3{3e7f, 3e7f, -3e7f}}) {
        std::vector<Residue> residues = original;
        const auto move = [&offset](Point3& p) { p = Point3{p.x + offset.x, p.y + offset.y, p.z + offset.z}; };
        for (Residue& r : residues) {
            for (Point3* p : {&r.n, &r.ca, &r.c, &r.o}) move(*p);
            for (Atom& a : r.atoms) move(a.position);
        }
        const std::vector<float> expected = reference_accessibility(residues, 100);
        for (SasaKernel kernel : {SasaKernel::Baseline, SasaKernel::Avx2, SasaKernel::Avx512}) {
            if (!sasa_kernel_supported(kernel)) continue;
            std::vector<Residue> computed = residues;
            compute_accessibility(computed, 100, kernel);
            expect_same_bits(computed, expected);
        }
    }
}

TEST(AccessibilityKernels, AssignSpreadOverThreadsEqualsOneThread) {
    auto read = io::read_structure_file(std::string(TARNIX_TEST_DATA) + "/4hhb.pdb");
    ASSERT_TRUE(std::holds_alternative<Structure>(read));
    Structure alone = std::get<Structure>(read);
    Structure spread = alone;
    assign_structure(alone, AssignOptions{});
    assign_structure(spread, AssignOptions{}, three_threads);
    std::vector<float> expected;
    for (std::size_t k = 0; k < alone.residues.size(); ++k) {
        EXPECT_EQ(spread.residues[k].ss, alone.residues[k].ss);
        expected.push_back(alone.residues[k].accessibility);
    }
    expect_same_bits(spread.residues, expected);
}

TEST(AccessibilityKernels, EnvironmentCanNarrowTheKernel) {
    const char* forced = std::getenv("TARNIX_SASA_KERNEL");
    const std::string cap = forced != nullptr ? forced : "";
    SasaKernel widest = SasaKernel::Baseline;
    for (SasaKernel kernel : {SasaKernel::Avx2, SasaKernel::Avx512}) {
        if (sasa_kernel_supported(kernel) && !(cap == "avx2" && kernel == SasaKernel::Avx512)) widest = kernel;
    }
    EXPECT_EQ(default_sasa_kernel(), cap == "baseline" ? SasaKernel::Baseline : widest);
}

}  // namespace
}  // namespace tarnix::core
