#include <gtest/gtest.h>

#include <limits>

#include "core/helix.hpp"
#include "core_fixtures.hpp"

namespace tarnix::core {
namespace {

using testing::blank_chain;
using testing::codes;

struct Turn {
    std::size_t length, start;
};

std::string flag_string(const std::vector<Residue>& r, std::size_t length) {
    std::string s;
    for (const Residue& x : r) s += "-smex"[static_cast<int>(x.turn_flags[turn_slot(length)])];
    return s;
}

std::vector<Residue> chain_with_turns(const std::string& preset, const std::vector<Turn>& turns) {
    std::vector<Residue> r = blank_chain(preset.size());
    for (std::size_t k = 0; k < preset.size(); ++k) r[k].ss = preset[k];
    for (const Turn& t : turns) testing::set_bond(r, t.start + t.length, t.start);
    return r;
}

TEST(Turns, FlagTransitions) {
    std::vector<Residue> r = chain_with_turns("            ", {{4, 0}, {4, 4}, {3, 1}, {3, 2}});
    find_turns(r);
    EXPECT_EQ(flag_string(r, 4), "smmmxmmme---");
    EXPECT_EQ(flag_string(r, 3), "-ssmee------");
    EXPECT_EQ(flag_string(r, 5), "------------");
}

TEST(Turns, NeverSpanABreakOrChainChange) {
    std::vector<Residue> r = chain_with_turns("          ", {{4, 1}, {3, 5}});
    r[4].break_flag = kBreakSameChain;
    r[8].chain_id = std::string(1, 'B');
    find_turns(r);
    EXPECT_EQ(flag_string(r, 4), "----------");
    EXPECT_EQ(flag_string(r, 3), "----------");
    std::vector<Residue> tiny = chain_with_turns("   ", {});
    find_turns(tiny);
    assign_helices(tiny);
    EXPECT_EQ(codes(tiny), "   ");
}

struct HelixCase {
    std::string preset;
    std::vector<Turn> turns;
    std::string expected;
};

class Helices : public ::testing::TestWithParam<HelixCase> {};

TEST_P(Helices, PriorityRules) {
    const HelixCase& c = GetParam();
    std::vector<Residue> r = chain_with_turns(c.preset, c.turns);
    find_turns(r);
    assign_helices(r);
    EXPECT_EQ(codes(r), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Helices,
    ::testing::Values(HelixCase{"            ", {{4, 2}}, "            "},
                      HelixCase{"            ", {{4, 2}, {4, 3}}, "   HHHH     "},
                      HelixCase{"            ", {{4, 0}, {4, 1}, {4, 2}}, " HHHHH      "},
                      HelixCase{"    E       ", {{4, 2}, {4, 3}}, "   HEHH     "},
                      HelixCase{"            ", {{3, 1}, {3, 2}}, "  GGG       "},
                      HelixCase{"            ", {{4, 0}, {4, 1}, {3, 3}, {3, 4}, {3, 6}, {3, 7}}, " HHHH  GGG  "},
                      HelixCase{"            ", {{5, 1}, {5, 2}}, "  IIIII     "},
                      HelixCase{"   G        ", {{5, 1}, {5, 2}}, "  IGIII     "},
                      HelixCase{"     B      ", {{5, 1}, {5, 2}}, "     B      "}));

struct PpiiCase {
    // '.' fails the window, 'q' qualifies, 'H' qualifies but is already H, '|' qualifies after a break,
    // 'c' qualifies and starts a new chain without a break.
    std::string pattern;
    std::uint64_t stretch;
    std::string expected_codes;
    std::string expected_flags;
};

class Polyproline : public ::testing::TestWithParam<PpiiCase> {};

TEST_P(Polyproline, Stretches) {
    const PpiiCase& c = GetParam();
    std::vector<Residue> r = blank_chain(c.pattern.size());
    for (std::size_t k = 0; k < r.size(); ++k) {
        if (c.pattern[k] != '.') r[k].phi = -75.0f, r[k].psi = 145.0f;
        if (c.pattern[k] == 'H') r[k].ss = 'H';
        if (c.pattern[k] == '|') r[k].break_flag = kBreakSameChain;
        if (c.pattern[k] == 'c') {
            for (std::size_t later = k; later < r.size(); ++later) r[later].chain_id = std::string(1, 'B');
        }
    }
    assign_ppii(r, c.stretch);
    EXPECT_EQ(codes(r), c.expected_codes);
    std::string flags;
    for (const Residue& x : r) flags += "-smex"[static_cast<int>(x.ppii_flag)];
    EXPECT_EQ(flags, c.expected_flags);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Polyproline,
    ::testing::Values(PpiiCase{".qq.qqq.", 3, "    PPP ", "----sme-"}, PpiiCase{".q......", 1, " P      ", "-s------"},
                      PpiiCase{"qqqqq...", 3, " PPPP   ", "-smme---"}, PpiiCase{".qHq....", 3, " PHP    ", "-sme----"},
                      PpiiCase{".qq|qq..", 2, " PPPPP  ", "-sesme--"},
                      // Unlike a turn, a stretch runs on into the next chain.
                      PpiiCase{".qqcq...", 3, " PPPP   ", "-smme---"}, PpiiCase{".qqqq...", 0, "        ", "--------"},
                      PpiiCase{".qqqq...", std::numeric_limits<std::uint64_t>::max(), "        ", "--------"},
                      PpiiCase{".qqqqqq.", 7, "        ", "--------"},
                      PpiiCase{".qqqqqq.", 6, " PPPPPP ", "-smmmme-"}));

struct WindowCase {
    float phi, psi;
    bool qualifies;
};

class PolyprolineWindow : public ::testing::TestWithParam<WindowCase> {};

TEST_P(PolyprolineWindow, BoundsAreInclusive) {
    Residue r;
    r.phi = GetParam().phi;
    r.psi = GetParam().psi;
    EXPECT_EQ(is_ppii_residue(r), GetParam().qualifies);
}

INSTANTIATE_TEST_SUITE_P(Cases, PolyprolineWindow,
                         ::testing::Values(WindowCase{-104.0f, 174.0f, true}, WindowCase{-46.0f, 116.0f, true},
                                           WindowCase{-45.99f, 140.0f, false}, WindowCase{-75.0f, 115.99f, false},
                                           WindowCase{-104.01f, 140.0f, false}, WindowCase{-75.0f, 174.01f, false},
                                           WindowCase{std::numeric_limits<float>::quiet_NaN(), 140.0f, false}));

}  // namespace
}  // namespace tarnix::core
