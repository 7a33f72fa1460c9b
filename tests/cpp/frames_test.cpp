#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "core_fixtures.hpp"
#include "engine/frames.hpp"
#include "engine/spread.hpp"

namespace tarnix::engine {
namespace {

constexpr std::size_t kResidues = 40;
constexpr std::size_t kFrames = 12;

io::FrameLayout backbone_layout() {
    std::vector<io::AtomRecord> atoms;
    for (std::size_t i = 0; i < kResidues; ++i) {
        for (const char* name : {"N", "CA", "C", "O"}) {
            io::AtomRecord& atom = atoms.emplace_back();
            atom.atom_name = name;
            atom.res_name = "ALA";
            atom.chain_id = "A";
            atom.seq_id = static_cast<std::int32_t>(i + 1);
        }
    }
    return std::get<io::FrameLayout>(io::frame_layout(atoms));
}

// A helix whose frames wind a little tighter one after another.
std::vector<float> helix_frames() {
    std::vector<float> positions;
    for (std::size_t frame = 0; frame < kFrames; ++frame) {
        const double twist = 3.0 * static_cast<double>(frame);
        const auto atoms = core::testing::ideal_backbone(
            std::vector<std::pair<double, double>>(kResidues, {-57.0 - twist, -47.0 + twist}));
        for (const auto& residue : atoms) {
            for (const auto& v : {residue.n, residue.ca, residue.c, residue.o}) {
                positions.insert(positions.end(),
                                 {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)});
            }
        }
    }
    return positions;
}

struct Outputs {
    std::vector<char> codes = std::vector<char>(kFrames * kResidues);
    std::vector<char> codes_c3 = std::vector<char>(kFrames * kResidues);
    std::vector<float> phi = std::vector<float>(kFrames * kResidues);
    std::vector<float> psi = std::vector<float>(kFrames * kResidues);
    std::vector<float> accessibility = std::vector<float>(kFrames * kResidues);
    FrameColumns columns() { return {codes.data(), codes_c3.data(), phi.data(), psi.data(), accessibility.data()}; }
};

TEST(FramesOnThreads, GiveTheBitsOfOneFrameAtATime) {
    const io::FrameLayout layout = backbone_layout();
    const std::vector<float> positions = helix_frames();
    core::AssignOptions options;
    Outputs alone, spread;
    for (std::size_t frame = 0; frame < kFrames; ++frame) {
        compute_frame(layout, positions.data(), frame, options, alone.columns());
    }
    const FrameColumns columns = spread.columns();
    spread_over(3)(kFrames,
                   [&](std::size_t frame) { compute_frame(layout, positions.data(), frame, options, columns); });
    EXPECT_EQ(alone.codes, spread.codes);
    EXPECT_EQ(0, std::memcmp(alone.phi.data(), spread.phi.data(), alone.phi.size() * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(alone.psi.data(), spread.psi.data(), alone.psi.size() * sizeof(float)));
    EXPECT_EQ(alone.accessibility, spread.accessibility);
    // Each frame is its own structure: a helix in every frame, no angle before the first residue.
    EXPECT_EQ(std::string(alone.codes.begin() + 5, alone.codes.begin() + 10), "HHHHH");
    EXPECT_TRUE(std::isnan(alone.phi[kResidues * 3]));
}

TEST(FramesOnThreads, FindTheFirstFrameThatIsNotFinite) {
    std::vector<float> positions = helix_frames();
    const std::size_t values = kResidues * 4 * 3;
    EXPECT_FALSE(first_unfinite_frame(positions.data(), kFrames, kResidues * 4).has_value());
    positions[7 * values + 5] = std::numeric_limits<float>::infinity();
    positions[9 * values] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(first_unfinite_frame(positions.data(), kFrames, kResidues * 4), std::optional<std::size_t>(7));
}

}  // namespace
}  // namespace tarnix::engine
