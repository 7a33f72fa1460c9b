#include "core/helix.hpp"

#include "core/hbond.hpp"

namespace tarnix::core {
namespace {

using Residues = std::vector<Residue>;

bool is_strand_code(char ss) { return ss == 'E' || ss == 'B'; }

// Residues i .. i+n lie in one segment, and NH(i+n)->O(i).
bool is_turn(const Residues& residues, const Segments& segments, std::size_t i, std::size_t n) {
    return segments.unbroken(i, i + n) && nh_to_o(residues, i + n, i);
}

void open_flag(HelixFlag& flag) {
    if (flag == HelixFlag::none || flag == HelixFlag::middle) {
        flag = HelixFlag::start;
    } else if (flag == HelixFlag::end) {
        flag = HelixFlag::start_and_end;
    }
}

void inner_flag(HelixFlag& flag) {
    if (flag == HelixFlag::none) flag = HelixFlag::middle;
}

void close_flag(HelixFlag& flag) {
    if (flag == HelixFlag::none || flag == HelixFlag::middle) {
        flag = HelixFlag::end;
    } else if (flag == HelixFlag::start) {
        flag = HelixFlag::start_and_end;
    }
}

void mark_turn(Residues& residues, std::size_t i, std::size_t n) {
    const std::size_t slot = turn_slot(n);
    open_flag(residues[i].turn_flags[slot]);
    for (std::size_t k = i + 1; k < i + n; ++k) inner_flag(residues[k].turn_flags[slot]);
    close_flag(residues[i + n].turn_flags[slot]);
}

bool consecutive_turns(const Residues& residues, std::size_t i, std::size_t n) {
    return turn_starts_at(residues[i - 1], n) && turn_starts_at(residues[i], n);
}

void assign_alpha(Residues& residues) {
    for (std::size_t i = 1; i + 5 <= residues.size(); ++i) {
        if (!consecutive_turns(residues, i, 4)) continue;
        for (std::size_t k = i; k < i + 4; ++k) {
            if (!is_strand_code(residues[k].ss)) residues[k].ss = 'H';
        }
    }
}

// A 3-10 window is written only when all of it is blank or G already.
void assign_three_ten(Residues& residues) {
    for (std::size_t i = 1; i + 4 <= residues.size(); ++i) {
        if (!consecutive_turns(residues, i, 3)) continue;
        bool free = true;
        for (std::size_t k = i; k < i + 3; ++k) free = free && (residues[k].ss == ' ' || residues[k].ss == 'G');
        if (!free) continue;
        for (std::size_t k = i; k < i + 3; ++k) residues[k].ss = 'G';
    }
}

// A pi window with a strand residue is skipped; otherwise it fills its blanks.
void assign_pi(Residues& residues) {
    for (std::size_t i = 1; i + 6 <= residues.size(); ++i) {
        if (!consecutive_turns(residues, i, 5)) continue;
        bool has_strand = false;
        for (std::size_t k = i; k < i + 5; ++k) has_strand = has_strand || is_strand_code(residues[k].ss);
        if (has_strand) continue;
        for (std::size_t k = i; k < i + 5; ++k) {
            if (residues[k].ss == ' ' || residues[k].ss == 'I') residues[k].ss = 'I';
        }
    }
}

bool in_closed_range(float value, float low, float high) { return low <= value && value <= high; }

// Length of the stretch starting at a qualifying residue i. Unlike a turn, a stretch runs on
// across a change of chain id; only a break flag ends it.
std::size_t ppii_run_length(const Residues& residues, std::size_t i) {
    std::size_t end = i + 1;
    while (end < residues.size() && residues[end].break_flag == kNoBreak && is_ppii_residue(residues[end])) ++end;
    return end - i;
}

// A stretch start does not take over a middle, unlike a turn start.
void open_ppii_flag(HelixFlag& flag) {
    if (flag == HelixFlag::none) {
        flag = HelixFlag::start;
    } else if (flag == HelixFlag::end) {
        flag = HelixFlag::start_and_end;
    }
}

void mark_ppii_stretch(Residues& residues, std::size_t i, std::size_t length) {
    open_ppii_flag(residues[i].ppii_flag);
    for (std::size_t k = i + 1; k + 1 < i + length; ++k) inner_flag(residues[k].ppii_flag);
    if (length >= 2) close_flag(residues[i + length - 1].ppii_flag);
    for (std::size_t k = i; k < i + length; ++k) {
        if (residues[k].ss == ' ') residues[k].ss = 'P';
    }
}

}  // namespace

void find_turns(Residues& residues) {
    const Segments segments(residues);
    for (std::size_t n = 3; n <= 5; ++n) {
        for (std::size_t i = 0; i + n < residues.size(); ++i) {
            if (is_turn(residues, segments, i, n)) mark_turn(residues, i, n);
        }
    }
}

bool turn_starts_at(const Residue& residue, std::size_t turn_length) {
    const HelixFlag flag = residue.turn_flags[turn_slot(turn_length)];
    return flag == HelixFlag::start || flag == HelixFlag::start_and_end;
}

void assign_helices(Residues& residues) {
    assign_alpha(residues);
    assign_three_ten(residues);
    assign_pi(residues);
}

bool is_ppii_residue(const Residue& residue) {
    return residue.phi && residue.psi && in_closed_range(*residue.phi, -104.0f, -46.0f) &&
           in_closed_range(*residue.psi, 116.0f, 174.0f);
}

void assign_ppii(Residues& residues, std::uint64_t ppii_stretch) {
    const std::size_t n = residues.size();
    // A stretch cannot be longer than the structure; comparing this way
    // avoids the overflow of ppii_stretch + 2 for huge values.
    if (ppii_stretch == 0 || n < 2 || n - 2 < ppii_stretch) return;
    for (std::size_t i = 1; i <= n - ppii_stretch;) {
        if (!is_ppii_residue(residues[i])) {
            ++i;
            continue;
        }
        const std::size_t length = ppii_run_length(residues, i);
        if (length < ppii_stretch) {
            ++i;
            continue;
        }
        mark_ppii_stretch(residues, i, length);
        i += length;
    }
}

}  // namespace tarnix::core
