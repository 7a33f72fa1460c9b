// Hand-built residues and ideal backbones shared by the core tests.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core::testing {

inline std::vector<Residue> blank_chain(std::size_t n, const std::string& chain_id = "A") {
    std::vector<Residue> residues(n);
    for (std::size_t i = 0; i < n; ++i) {
        residues[i].chain_id = chain_id;
        residues[i].index = i;
    }
    return residues;
}

// Records a bond in the first free slot on both sides, as if it had been found.
inline void set_bond(std::vector<Residue>& residues, std::uint64_t donor, std::uint64_t acceptor,
                     double energy = -2.0) {
    auto fill = [&](std::array<HBondSlot, 2>& slots, std::uint64_t partner) {
        HBondSlot& slot = slots[0].partner ? slots[1] : slots[0];
        slot = HBondSlot{partner, energy};
    };
    fill(residues[donor].donor_bonds, acceptor);
    fill(residues[acceptor].acceptor_bonds, donor);
}

inline std::string codes(const std::vector<Residue>& residues) {
    std::string s;
    for (const Residue& r : residues) s += r.ss;
    return s;
}

struct Vec {
    double x, y, z;
};
inline Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec operator*(double k, Vec a) { return {k * a.x, k * a.y, k * a.z}; }
inline double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec cross(Vec a, Vec b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
inline Vec unit(Vec a) { return (1.0 / std::sqrt(dot(a, a))) * a; }

// Atom d such that |cd| = length, angle bcd = angle and torsion abcd = torsion (degrees).
inline Vec place(Vec a, Vec b, Vec c, double length, double angle, double torsion) {
    const double rad = std::numbers::pi / 180.0;
    const Vec bc = unit(c - b);
    const Vec n = unit(cross(b - a, bc));
    const Vec m = cross(n, bc);
    const double t = angle * rad, w = torsion * rad;
    return c + (-length * std::cos(t)) * bc + (length * std::sin(t) * std::cos(w)) * m +
           (length * std::sin(t) * std::sin(w)) * n;
}

struct BackboneAtoms {
    Vec n, ca, c, o;
};

// Ideal backbone from (phi, psi) per residue, trans peptides, O in the peptide plane.
inline std::vector<BackboneAtoms> ideal_backbone(const std::vector<std::pair<double, double>>& angles) {
    std::vector<BackboneAtoms> atoms;
    Vec n{0, 0, 0}, ca{1.458, 0, 0};
    const double t = 111.2 * std::numbers::pi / 180.0;
    Vec c = ca + 1.525 * Vec{-std::cos(t), std::sin(t), 0};
    for (std::size_t i = 0; i < angles.size(); ++i) {
        const double psi = angles[i].second;
        atoms.push_back({n, ca, c, place(n, ca, c, 1.231, 120.5, psi + 180.0)});
        if (i + 1 == angles.size()) break;
        const Vec n2 = place(n, ca, c, 1.329, 116.2, psi);
        const Vec ca2 = place(ca, c, n2, 1.458, 121.7, 180.0);
        const Vec c2 = place(c, n2, ca2, 1.525, 111.2, angles[i + 1].first);
        n = n2, ca = ca2, c = c2;
    }
    return atoms;
}

inline Point3 to_point(Vec v) { return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)}; }

inline Structure to_structure(const std::vector<BackboneAtoms>& atoms) {
    Structure s;
    s.residues = blank_chain(atoms.size());
    for (std::size_t i = 0; i < atoms.size(); ++i) {
        s.residues[i].n = to_point(atoms[i].n);
        s.residues[i].ca = to_point(atoms[i].ca);
        s.residues[i].c = to_point(atoms[i].c);
        s.residues[i].o = to_point(atoms[i].o);
        s.residues[i].amino_acid = 'A';
    }
    group_chains(s);
    return s;
}

inline Structure uniform_backbone(std::size_t n, double phi, double psi) {
    return to_structure(ideal_backbone(std::vector<std::pair<double, double>>(n, {phi, psi})));
}

// An extended strand (phi -120, psi 130) with its axis along x and the
// carbonyls of even residues pointing along +y, centred on the origin.
inline std::vector<BackboneAtoms> oriented_strand(std::size_t n) {
    std::vector<BackboneAtoms> s = ideal_backbone(std::vector<std::pair<double, double>>(n, {-120.0, 130.0}));
    Vec centre{0, 0, 0}, side{0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        centre = centre + (1.0 / static_cast<double>(n)) * s[i].ca;
        side = side + (i % 2 == 0 ? 1.0 : -1.0) * (s[i].o - s[i].c);
    }
    const Vec x = unit(s[n - 1].ca - s[0].ca);
    const Vec y = unit(side - dot(side, x) * x);
    const Vec z = cross(x, y);
    auto frame = [&](Vec p) {
        const Vec d = p - centre;
        return Vec{dot(d, x), dot(d, y), dot(d, z)};
    };
    for (BackboneAtoms& r : s) r = {frame(r.n), frame(r.ca), frame(r.c), frame(r.o)};
    return s;
}

// Two strands of n residues, the second 5.0 A along +y (antiparallel: turned
// about z through the CA of residue 4) or 4.8 A along +y (parallel: shifted),
// in one chain: the jump between them is a chain break.
inline Structure strand_pair(std::size_t n, bool parallel) {
    const std::vector<BackboneAtoms> first = oriented_strand(n);
    std::vector<BackboneAtoms> atoms = first;
    const double x0 = first[4].ca.x;
    auto mate = [&](Vec p) { return parallel ? Vec{p.x, p.y + 4.8, p.z} : Vec{2 * x0 - p.x, 5.0 - p.y, p.z}; };
    for (const BackboneAtoms& r : first) atoms.push_back({mate(r.n), mate(r.ca), mate(r.c), mate(r.o)});
    return to_structure(atoms);
}

}  // namespace tarnix::core::testing
