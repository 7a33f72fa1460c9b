#include "core/helix.hpp"

#include "core/hbond.hpp"

namespace tarnix::core {
namespace {

bool opens(HelixFlag flag) { return flag == HelixFlag::start || flag == HelixFlag::start_and_end; }

bool is_strand_code(char ss) { return ss == 'E' || ss == 'B'; }

// Residues i .. i+n lie in one segment, and NH(i+n)->O(i).
bool is_turn(const PassingBonds& bonds, const Segments& segments, std::size_t i, std::size_t n) {
    return segments.unbroken(i, i + n) && bonds.nh_to_o(i + n, i);
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

void mark_turn(CodeTable& residues, std::size_t i, std::size_t n) {
    const std::size_t slot = turn_slot(n);
    open_flag(residues[i].turn_flags[slot]);
    for (std::size_t k = i + 1; k < i + n; ++k) inner_flag(residues[k].turn_flags[slot]);
    close_flag(residues[i + n].turn_flags[slot]);
}

bool consecutive_turns(const CodeTable& residues, std::size_t i, std::size_t n) {
    return turn_starts_at(residues[i - 1], n) && turn_starts_at(residues[i], n);
}

void assign_alpha(CodeTable& residues) {
    for (std::size_t i = 1; i + 5 <= residues.size(); ++i) {
        if (!consecutive_turns(residues, i, 4)) continue;
        for (std::size_t k = i; k < i + 4; ++k) {
            if (!is_strand_code(residues[k].ss)) residues[k].ss = 'H';
        }
    }
}

// A 3-10 window is written only when all of it is blank or G already.
void assign_three_ten(CodeTable& residues) {
    for (std::size_t i = 1; i + 4 <= residues.size(); ++i) {
        if (!consecutive_turns(residues, i, 3)) continue;
        bool free = true;
        for (std::size_t k = i; k < i + 3; ++k) free = free && (residues[k].ss == ' ' || residues[k].ss == 'G');
        if (!free) continue;
        for (std::size_t k = i; k < i + 3; ++k) residues[k].ss = 'G';
    }
}

// A pi window with a strand residue is skipped; otherwise it fills its blanks.
void assign_pi(CodeTable& residues) {
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
std::size_t ppii_run_length(const CodeTable& residues, std::size_t i) {
    std::size_t end = i + 1;
    while (end < residues.size() && !residues[end].break_before && residues[end].ppii_window) ++end;
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

void mark_ppii_stretch(CodeTable& residues, std::size_t i, std::size_t length) {
    open_ppii_flag(residues[i].ppii_flag);
    for (std::size_t k = i + 1; k + 1 < i + length; ++k) inner_flag(residues[k].ppii_flag);
    if (length >= 2) close_flag(residues[i + length - 1].ppii_flag);
    for (std::size_t k = i; k < i + length; ++k) {
        if (residues[k].ss == ' ') residues[k].ss = 'P';
    }
}

}  // namespace

CodeTable load_codes(const std::vector<Residue>& residues) {
    CodeTable codes(residues.size());
    for (std::size_t k = 0; k < residues.size(); ++k) {
        const Residue& r = residues[k];
        codes[k] = ResidueCodes{r.ss,
                                r.turn_flags,
                                r.ppii_flag,
                                r.bend,
                                r.kappa.has_value(),
                                r.kappa && *r.kappa > kBendThreshold,
                                is_ppii_residue(r),
                                r.break_flag != kNoBreak};
    }
    return codes;
}

void store_codes(const CodeTable& codes, std::vector<Residue>& residues) {
    for (std::size_t k = 0; k < residues.size(); ++k) {
        Residue& r = residues[k];
        r.ss = codes[k].ss;
        r.turn_flags = codes[k].turn_flags;
        r.ppii_flag = codes[k].ppii_flag;
        r.bend = codes[k].bend;
    }
}

void find_turns(std::vector<Residue>& residues) {
    CodeTable codes = load_codes(residues);
    find_turns(codes, PassingBonds(residues), Segments(residues));
    store_codes(codes, residues);
}

void find_turns(CodeTable& residues, const PassingBonds& bonds, const Segments& segments) {
    for (std::size_t n = 3; n <= 5; ++n) {
        for (std::size_t i = 0; i + n < residues.size(); ++i) {
            if (is_turn(bonds, segments, i, n)) mark_turn(residues, i, n);
        }
    }
}

bool turn_starts_at(const Residue& residue, std::size_t turn_length) {
    return opens(residue.turn_flags[turn_slot(turn_length)]);
}

bool turn_starts_at(const ResidueCodes& residue, std::size_t turn_length) {
    return opens(residue.turn_flags[turn_slot(turn_length)]);
}

void assign_helices(std::vector<Residue>& residues) {
    CodeTable codes = load_codes(residues);
    assign_helices(codes);
    store_codes(codes, residues);
}

void assign_helices(CodeTable& residues) {
    assign_alpha(residues);
    assign_three_ten(residues);
    assign_pi(residues);
}

bool is_ppii_residue(const Residue& residue) {
    return residue.phi && residue.psi && in_closed_range(*residue.phi, -104.0f, -46.0f) &&
           in_closed_range(*residue.psi, 116.0f, 174.0f);
}

void assign_ppii(std::vector<Residue>& residues, std::uint64_t ppii_stretch) {
    CodeTable codes = load_codes(residues);
    assign_ppii(codes, ppii_stretch);
    store_codes(codes, residues);
}

void assign_ppii(CodeTable& residues, std::uint64_t ppii_stretch) {
    const std::size_t n = residues.size();
    // A stretch cannot be longer than the structure; comparing this way
    // avoids the overflow of ppii_stretch + 2 for huge values.
    if (ppii_stretch == 0 || n < 2 || n - 2 < ppii_stretch) return;
    for (std::size_t i = 1; i <= n - ppii_stretch;) {
        if (!residues[i].ppii_window) {
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
