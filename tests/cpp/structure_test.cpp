#include <gtest/gtest.h>

#include "core/structure.hpp"

namespace tarnix::core {
namespace {

Structure with_chain_ids(std::initializer_list<const char*> ids) {
    Structure s;
    for (const char* id : ids) {
        Residue r;
        r.chain_id = id;
        s.residues.push_back(r);
    }
    return s;
}

TEST(GroupChains, RepeatedChainIdOpensSeparateRuns) {
    Structure s = with_chain_ids({"A", "A", "B", "A"});
    group_chains(s);
    ASSERT_EQ(s.chains.size(), 3u);
    EXPECT_EQ(s.chains[0].chain_id, "A");
    EXPECT_EQ(s.chains[0].start_index, 0u);
    EXPECT_EQ(s.chains[0].end_index, 2u);
    EXPECT_EQ(s.chains[1].chain_id, "B");
    EXPECT_EQ(s.chains[2].start_index, 3u);
    EXPECT_EQ(s.chains[2].end_index, 4u);
}

TEST(GroupChains, ComparesLengthAndBytes) {
    Structure s = with_chain_ids({"", " ", "A", "AA"});
    group_chains(s);
    EXPECT_EQ(s.chains.size(), 4u);
    Structure empty;
    empty.chains.push_back(Chain{"X", 0, 1});
    group_chains(empty);
    EXPECT_TRUE(empty.chains.empty());
}

// A run ends before a chain change or a break flag, wherever it lies between first and last;
// the flag of the first residue itself does not count.
TEST(Segments, EndAtChainChangesAndBreaks) {
    Structure s = with_chain_ids({"A", "A", "A", "B", "B", "B", "B", "A"});
    s.residues[0].break_flag = kBreakSameChain;
    s.residues[5].break_flag = kBreakSameChain;
    const Segments segments(s.residues);
    const struct {
        std::size_t first, last;
        bool unbroken;
    } cases[] = {{0, 2, true},  {1, 1, true}, {2, 3, false}, {0, 4, false}, {3, 4, true},
                 {4, 5, false}, {5, 6, true}, {6, 7, false}, {3, 6, false}, {7, 7, true}};
    for (const auto& c : cases) EXPECT_EQ(segments.unbroken(c.first, c.last), c.unbroken) << c.first << ".." << c.last;
}

TEST(NumberAndGroup, RenumbersAndRegroupsStaleRecords) {
    Structure s = with_chain_ids({"A", "B", "B"});
    s.residues[2].index = 7;
    s.chains.push_back(Chain{"A", 0, 3});
    number_and_group(s);
    for (std::size_t k = 0; k < s.residues.size(); ++k) EXPECT_EQ(s.residues[k].index, k);
    ASSERT_EQ(s.chains.size(), 2u);
    EXPECT_EQ(s.chains[1].start_index, 1u);
}

}  // namespace
}  // namespace tarnix::core
