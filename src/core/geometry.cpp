#include "core/geometry.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace tarnix::core {
namespace {

constexpr float kDegreesPerRadian = 57.295776f;
constexpr float kPi = 3.1415927f;
constexpr float kMaxPeptideBond = 2.5f;

bool is_unbroken(const Residue& r) { return r.break_flag == kNoBreak; }

std::optional<float> defined_angle(float angle) {
    // NaN differs from the marker and is stored as it is.
    if (angle == kUndefinedAngle) return std::nullopt;
    return angle;
}

// Unit bisector of the directions CA->N and C(previous)->N, or N itself when degenerate.
Point3 amide_hydrogen(const Residue& residue, const Residue& previous) {
    const Point3 u1 = residue.n - residue.ca;
    const Point3 u2 = residue.n - previous.c;
    const float l1 = length(u1);
    const float l2 = length(u2);
    if (l1 > 1e-6f && l2 > 1e-6f) {
        const Point3 s = u1 / l1 + u2 / l2;
        const float ls = length(s);
        if (ls > 1e-6f) return residue.n + s / ls;
    }
    return residue.n;
}

std::optional<float> bend_angle(Point3 before, Point3 centre, Point3 after) {
    const Point3 e1 = before - centre;
    const Point3 e2 = after - centre;
    const float q = squared_length(e1) * squared_length(e2);
    if (q < 1e-20f) return std::nullopt;
    const float c = std::clamp(dot(e1, e2) / std::sqrt(q), -1.0f, 1.0f);
    return (kPi - std::acos(c)) * kDegreesPerRadian;
}

float carbonyl_cosine(const Residue& residue, const Residue& previous) {
    const Point3 u = residue.c - residue.o;
    const Point3 w = previous.c - previous.o;
    const float q = squared_length(u) * squared_length(w);
    if (q < 1e-20f) return 0.0f;
    return std::clamp(dot(u, w) / std::sqrt(q), -1.0f, 1.0f);
}

void compute_residue_geometry(std::vector<Residue>& residues, const Segments& segments, std::size_t i) {
    const std::size_t n = residues.size();
    Residue& r = residues[i];
    if (i > 0 && is_unbroken(r)) {
        const Residue& previous = residues[i - 1];
        r.h = amide_hydrogen(r, previous);
        r.phi = defined_angle(dihedral_angle(previous.c, r.n, r.ca, r.c));
        r.tco = carbonyl_cosine(r, previous);
    }
    if (i + 1 < n && is_unbroken(residues[i + 1])) {
        const Residue& next = residues[i + 1];
        r.psi = defined_angle(dihedral_angle(r.n, r.ca, r.c, next.n));
        r.omega = defined_angle(dihedral_angle(r.ca, r.c, next.n, next.ca));
    }
    if (i >= 2 && i + 2 < n && segments.unbroken(i - 2, i + 2)) {
        r.kappa = bend_angle(residues[i - 2].ca, r.ca, residues[i + 2].ca);
    }
    if (i >= 1 && i + 2 < n && segments.unbroken(i - 1, i + 2)) {
        r.alpha = defined_angle(dihedral_angle(residues[i - 1].ca, r.ca, residues[i + 1].ca, residues[i + 2].ca));
    }
}

}  // namespace

float dihedral_angle(Point3 p1, Point3 p2, Point3 p3, Point3 p4) {
    const Point3 b1 = p2 - p1;
    const Point3 b2 = p3 - p2;
    const Point3 b3 = p4 - p3;
    const float b2_length = length(b2);
    if (b2_length < 1e-10f) return kUndefinedAngle;
    const Point3 m1 = cross(b1, b2);
    const Point3 m2 = cross(b2, b3);
    const float x = dot(m1, m2);
    const float y = dot(cross(m1, m2), b2) / b2_length;
    if (std::fabs(x) < 1e-10f && std::fabs(y) < 1e-10f) return kUndefinedAngle;
    float angle = std::atan2(y, x) * kDegreesPerRadian;
    if (angle > 180.0f) {
        angle -= 360.0f;
    } else if (angle < -180.0f) {
        angle += 360.0f;
    }
    return angle;
}

namespace {

// The break rule, written once: C(i) and N(i+1) too far apart for a peptide bond.
void mark_break(const Residue& previous, Residue& next, bool new_chain) {
    if (distance(previous.c, next.n) > kMaxPeptideBond) next.break_flag = new_chain ? kBreakNewChain : kBreakSameChain;
}

}  // namespace

void detect_chain_breaks(std::vector<Residue>& residues) {
    for (std::size_t i = 0; i + 1 < residues.size(); ++i) {
        mark_break(residues[i], residues[i + 1], residues[i + 1].chain_id != residues[i].chain_id);
    }
}

Segments detect_chain_breaks(std::vector<Residue>& residues, const std::vector<Chain>& chains) {
    std::vector<std::uint64_t> run(residues.size(), 0);
    std::size_t next_chain = 1;
    for (std::size_t i = 0; i + 1 < residues.size(); ++i) {
        const bool new_chain = next_chain < chains.size() && chains[next_chain].start_index == i + 1;
        if (new_chain) ++next_chain;
        mark_break(residues[i], residues[i + 1], new_chain);
        run[i + 1] = run[i] + (new_chain || residues[i + 1].break_flag != kNoBreak ? 1 : 0);
    }
    return Segments(std::move(run));
}

void compute_backbone_geometry(std::vector<Residue>& residues) {
    compute_backbone_geometry(residues, Segments(residues));
}

void compute_backbone_geometry(std::vector<Residue>& residues, const Segments& segments) {
    for (std::size_t i = 0; i < residues.size(); ++i) compute_residue_geometry(residues, segments, i);
}

}  // namespace tarnix::core
