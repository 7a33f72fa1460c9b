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

}  // namespace
}  // namespace tarnix::core
