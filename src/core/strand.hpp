// Beta bridges, ladders, bulges and sheets; writes E and B.
#pragma once

#include <cstdint>
#include <vector>

#include "core/close_pairs.hpp"
#include "core/hbond.hpp"
#include "core/structure.hpp"

namespace tarnix::core {

enum class BridgeKind : std::uint8_t {
    parallel = 1,
    antiparallel = 2,
};

struct Ladder {
    std::vector<std::uint64_t> strand1;  // ascending
    std::vector<std::uint64_t> strand2;  // partners, ascending for both kinds
    std::uint32_t number = 0;
    std::uint32_t sheet = 0;
    BridgeKind kind = BridgeKind::parallel;
};

// Tests every eligible close pair for a bridge and grows ladders from
// consecutive bridges, in close-pair order.
std::vector<Ladder> find_bridges(const std::vector<Residue>& residues, const std::vector<ResiduePair>& close_pairs);
std::vector<Ladder> find_bridges(const PassingBonds& bonds, const Segments& segments,
                                 const std::vector<ResiduePair>& close_pairs);

// Stable, by first strand1 entry, then first strand2 entry.
void sort_ladders(std::vector<Ladder>& ladders);

// Joins ladders of one kind separated by a bulge; ladders must be sorted.
void merge_bulges(std::vector<Ladder>& ladders, const std::vector<Residue>& residues);
void merge_bulges(std::vector<Ladder>& ladders, const Segments& segments);

// Numbers sheets (ladders linked through shared residues) and ladders, breadth first.
void build_sheets(std::vector<Ladder>& ladders, std::uint64_t residue_count);

// Writes ss (E or B), sheet and bridge_partners of every ladder residue.
void mark_strands(const std::vector<Ladder>& ladders, std::vector<Residue>& residues);

// The whole phase, in order.
void assign_strands(std::vector<Residue>& residues, const std::vector<ResiduePair>& close_pairs);
// The same on the passing bonds and the unbroken runs of the residues.
void assign_strands(std::vector<Residue>& residues, const std::vector<ResiduePair>& close_pairs,
                    const PassingBonds& bonds, const Segments& segments);

}  // namespace tarnix::core
