#include "core/strand.hpp"

#include <algorithm>
#include <deque>
#include <optional>
#include <unordered_map>

#include "base/hashing.hpp"
#include "core/hbond.hpp"

namespace tarnix::core {
namespace {

using Residues = std::vector<Residue>;

// Residues k-1, k and k+1 lie in one segment.
bool has_intact_neighbours(const Segments& segments, std::size_t count, std::uint64_t k) {
    return k >= 1 && k + 1 < count && segments.unbroken(k - 1, k + 1);
}

bool is_parallel_bridge(const PassingBonds& b, std::uint64_t i, std::uint64_t j) {
    return (b.nh_to_o(i + 1, j) && b.nh_to_o(j, i - 1)) || (b.nh_to_o(j + 1, i) && b.nh_to_o(i, j - 1));
}

bool is_antiparallel_bridge(const PassingBonds& b, std::uint64_t i, std::uint64_t j) {
    return (b.nh_to_o(i + 1, j - 1) && b.nh_to_o(j + 1, i - 1)) || (b.nh_to_o(j, i) && b.nh_to_o(i, j)) ||
           (b.o_from_nh(i, j) && b.o_from_nh(j, i));
}

std::optional<BridgeKind> bridge_between(const PassingBonds& bonds, const Segments& segments, std::uint64_t i,
                                         std::uint64_t j) {
    if (j < i + 4 || !has_intact_neighbours(segments, bonds.size(), i) ||
        !has_intact_neighbours(segments, bonds.size(), j)) {
        return std::nullopt;
    }
    if (is_parallel_bridge(bonds, i, j)) return BridgeKind::parallel;
    if (is_antiparallel_bridge(bonds, i, j)) return BridgeKind::antiparallel;
    return std::nullopt;
}

// The latest bridge of a ladder: the strand1 end and the strand2 end that the
// next bridge would extend. A bridge belongs to one ladder only, so at most one
// ladder can match a key and a lookup finds what a scan in list order would.
struct LadderEnd {
    std::uint64_t i;
    std::uint64_t j;
    BridgeKind kind;

    friend bool operator==(const LadderEnd&, const LadderEnd&) = default;
};

struct LadderEndHash {
    std::size_t operator()(const LadderEnd& e) const {
        return base::Hasher().add(e.i).add(e.j).add(static_cast<std::uint64_t>(e.kind)).value();
    }
};

LadderEnd predecessor_end(std::uint64_t i, std::uint64_t j, BridgeKind kind) {
    return kind == BridgeKind::antiparallel ? LadderEnd{i - 1, j + 1, kind} : LadderEnd{i - 1, j - 1, kind};
}

void extend_ladder(Ladder& ladder, std::uint64_t i, std::uint64_t j) {
    ladder.strand1.push_back(i);
    if (ladder.kind == BridgeKind::antiparallel) {
        ladder.strand2.insert(ladder.strand2.begin(), j);
    } else {
        ladder.strand2.push_back(j);
    }
}

std::int64_t gap(std::uint64_t from, std::uint64_t to) {
    return std::max<std::int64_t>(static_cast<std::int64_t>(to) - static_cast<std::int64_t>(from), 0);
}

bool gaps_fit_bulge(std::int64_t gap1, std::int64_t gap2) {
    return (gap1 <= 5 && gap2 <= 2) || (gap1 <= 2 && gap2 <= 5);
}

bool spans_contiguous(const std::vector<std::uint64_t>& a, const std::vector<std::uint64_t>& b,
                      const Segments& segments) {
    return segments.unbroken(std::min(a.front(), b.front()), std::max(a.back(), b.back()));
}

bool can_merge(const Ladder& a, const Ladder& b, const Segments& segments) {
    if (a.kind != b.kind) return false;
    const bool strand1_apart = a.strand1.back() < b.strand1.front() || a.strand1.front() > b.strand1.back();
    if (!strand1_apart) return false;
    const std::int64_t gap1 = gap(a.strand1.back(), b.strand1.front());
    const std::int64_t gap2 = a.kind == BridgeKind::parallel ? gap(a.strand2.back(), b.strand2.front())
                                                             : gap(b.strand2.back(), a.strand2.front());
    return gaps_fit_bulge(gap1, gap2) && spans_contiguous(a.strand1, b.strand1, segments) &&
           spans_contiguous(a.strand2, b.strand2, segments);
}

// Sorted ladders: once b starts more than 5 residues after a's strand1 ends, so
// does every later ladder, and none of them can merge with a.
bool beyond_bulge_reach(const Ladder& a, const Ladder& b) { return gap(a.strand1.back(), b.strand1.front()) > 5; }

void merge_list(std::vector<std::uint64_t>& into, const std::vector<std::uint64_t>& from) {
    into.insert(into.end(), from.begin(), from.end());
    std::sort(into.begin(), into.end());
    into.erase(std::unique(into.begin(), into.end()), into.end());
}

// For each residue, the ladders that list it, ascending (compressed rows).
class LaddersByResidue {
public:
    LaddersByResidue(const std::vector<Ladder>& ladders, std::uint64_t residue_count) : offsets_(residue_count + 1, 0) {
        for (const Ladder& ladder : ladders) {
            for (std::uint64_t r : ladder.strand1) ++offsets_[r + 1];
            for (std::uint64_t r : ladder.strand2) ++offsets_[r + 1];
        }
        for (std::size_t k = 1; k < offsets_.size(); ++k) offsets_[k] += offsets_[k - 1];
        entries_.resize(offsets_.back());
        std::vector<std::size_t> cursor(offsets_.begin(), offsets_.end() - 1);
        for (std::size_t l = 0; l < ladders.size(); ++l) {
            for (std::uint64_t r : ladders[l].strand1) entries_[cursor[r]++] = l;
            for (std::uint64_t r : ladders[l].strand2) entries_[cursor[r]++] = l;
        }
    }

    // Appends the ladders that list the residue.
    void append(std::uint64_t residue, std::vector<std::size_t>& out) const {
        out.insert(out.end(), entries_.begin() + static_cast<std::ptrdiff_t>(offsets_[residue]),
                   entries_.begin() + static_cast<std::ptrdiff_t>(offsets_[residue + 1]));
    }

private:
    std::vector<std::size_t> offsets_;
    std::vector<std::size_t> entries_;
};

// Not yet visited ladders sharing a residue with ladder x, in list order.
std::vector<std::size_t> unvisited_neighbours(const Ladder& x, const LaddersByResidue& index,
                                              const std::vector<bool>& visited) {
    std::vector<std::size_t> found;
    for (std::uint64_t r : x.strand1) index.append(r, found);
    for (std::uint64_t r : x.strand2) index.append(r, found);
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    std::erase_if(found, [&](std::size_t y) { return visited[y]; });
    return found;
}

// Breadth-first from ladder s; returns the members in visiting order.
std::vector<std::size_t> collect_sheet(std::size_t s, const std::vector<Ladder>& ladders, const LaddersByResidue& index,
                                       std::vector<bool>& visited) {
    std::vector<std::size_t> members;
    std::deque<std::size_t> queue{s};
    while (!queue.empty()) {
        const std::size_t x = queue.front();
        queue.pop_front();
        if (visited[x]) continue;
        visited[x] = true;
        members.push_back(x);
        for (std::size_t y : unvisited_neighbours(ladders[x], index, visited)) queue.push_back(y);
    }
    return members;
}

void record_partner(Residue& residue, const BridgePartner& partner) {
    if (!residue.bridge_partners[0]) {
        residue.bridge_partners[0] = partner;
    } else {
        residue.bridge_partners[1] = partner;
    }
}

// Partner on the other strand of the entry at position p of a strand, if the other strand is long enough.
std::optional<std::uint64_t> partner_at(const std::vector<std::uint64_t>& other, std::size_t p, BridgeKind kind) {
    if (p >= other.size()) return std::nullopt;
    return kind == BridgeKind::parallel ? other[p] : other[other.size() - 1 - p];
}

void mark_strand(const Ladder& ladder, const std::vector<std::uint64_t>& strand,
                 const std::vector<std::uint64_t>& other, char code, Residues& residues) {
    for (std::size_t p = 0; p < strand.size(); ++p) {
        Residue& residue = residues[strand[p]];
        // E replaces B, never the reverse.
        if (residue.ss != 'E') residue.ss = code;
        residue.sheet = ladder.sheet;
        if (const auto partner = partner_at(other, p, ladder.kind)) {
            record_partner(residue, BridgePartner{*partner, ladder.number, ladder.kind == BridgeKind::parallel});
        }
    }
}

}  // namespace

std::vector<Ladder> find_bridges(const Residues& residues, const std::vector<ResiduePair>& close_pairs) {
    return find_bridges(PassingBonds(residues), Segments(residues), close_pairs);
}

std::vector<Ladder> find_bridges(const PassingBonds& bonds, const Segments& segments,
                                 const std::vector<ResiduePair>& close_pairs) {
    std::vector<Ladder> ladders;
    std::unordered_map<LadderEnd, std::size_t, LadderEndHash> open_ends;
    for (const ResiduePair& pair : close_pairs) {
        const std::optional<BridgeKind> kind = bridge_between(bonds, segments, pair.i, pair.j);
        if (!kind) continue;
        std::size_t target = ladders.size();
        const auto found = open_ends.find(predecessor_end(pair.i, pair.j, *kind));
        if (found != open_ends.end()) {
            target = found->second;
            open_ends.erase(found);
            extend_ladder(ladders[target], pair.i, pair.j);
        } else {
            ladders.push_back(Ladder{{pair.i}, {pair.j}, 0, 0, *kind});
        }
        open_ends.emplace(LadderEnd{pair.i, pair.j, *kind}, target);
    }
    return ladders;
}

void sort_ladders(std::vector<Ladder>& ladders) {
    std::stable_sort(ladders.begin(), ladders.end(), [](const Ladder& a, const Ladder& b) {
        if (a.strand1.front() != b.strand1.front()) return a.strand1.front() < b.strand1.front();
        return a.strand2.front() < b.strand2.front();
    });
}

void merge_bulges(std::vector<Ladder>& ladders, const Residues& residues) { merge_bulges(ladders, Segments(residues)); }

void merge_bulges(std::vector<Ladder>& ladders, const Segments& segments) {
    // Merged ladders are flagged and dropped at the end, which leaves the
    // order of the remaining ones as if each had been removed at once.
    std::vector<bool> removed(ladders.size(), false);
    for (std::size_t a = 0; a < ladders.size(); ++a) {
        if (removed[a]) continue;
        for (std::size_t b = a + 1; b < ladders.size(); ++b) {
            if (removed[b]) continue;
            if (beyond_bulge_reach(ladders[a], ladders[b])) break;
            if (!can_merge(ladders[a], ladders[b], segments)) continue;
            merge_list(ladders[a].strand1, ladders[b].strand1);
            merge_list(ladders[a].strand2, ladders[b].strand2);
            removed[b] = true;
        }
    }
    std::size_t l = 0;
    std::erase_if(ladders, [&](const Ladder&) { return removed[l++]; });
}

void build_sheets(std::vector<Ladder>& ladders, std::uint64_t residue_count) {
    const LaddersByResidue index(ladders, residue_count);
    std::vector<bool> visited(ladders.size(), false);
    std::uint32_t sheet = 1;
    std::uint32_t number = 1;
    for (std::size_t s = 0; s < ladders.size(); ++s) {
        if (visited[s]) continue;
        for (std::size_t member : collect_sheet(s, ladders, index, visited)) {
            ladders[member].sheet = sheet;
            ladders[member].number = number++;
        }
        ++sheet;
    }
}

void mark_strands(const std::vector<Ladder>& ladders, Residues& residues) {
    for (const Ladder& ladder : ladders) {
        const char code = ladder.strand1.size() >= 2 || ladder.strand2.size() >= 2 ? 'E' : 'B';
        mark_strand(ladder, ladder.strand1, ladder.strand2, code, residues);
        mark_strand(ladder, ladder.strand2, ladder.strand1, code, residues);
    }
}

void assign_strands(Residues& residues, const std::vector<ResiduePair>& close_pairs) {
    assign_strands(residues, close_pairs, PassingBonds(residues), Segments(residues));
}

void assign_strands(Residues& residues, const std::vector<ResiduePair>& close_pairs, const PassingBonds& bonds,
                    const Segments& segments) {
    std::vector<Ladder> ladders = find_bridges(bonds, segments, close_pairs);
    sort_ladders(ladders);
    merge_bulges(ladders, segments);
    build_sheets(ladders, residues.size());
    mark_strands(ladders, residues);
}

}  // namespace tarnix::core
