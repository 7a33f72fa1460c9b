// Backbone geometry: chain breaks, amide hydrogens and the per-residue angles.
// Every formula runs in single precision, one operation at a time, so that
// results are reproducible bit for bit.
#pragma once

#include <cmath>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::core {

inline Point3 operator-(Point3 a, Point3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Point3 operator+(Point3 a, Point3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Point3 operator/(Point3 a, float d) { return {a.x / d, a.y / d, a.z / d}; }

inline float dot(Point3 a, Point3 b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }
inline float squared_length(Point3 a) { return (a.x * a.x + a.y * a.y) + a.z * a.z; }
inline float length(Point3 a) { return std::sqrt(squared_length(a)); }
inline float distance(Point3 a, Point3 b) { return length(a - b); }

inline Point3 cross(Point3 a, Point3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// Returned by dihedral_angle when the angle is undefined.
inline constexpr float kUndefinedAngle = 360.0f;

// Signed torsion angle p1-p2-p3-p4 in degrees (-180..180), or kUndefinedAngle.
float dihedral_angle(Point3 p1, Point3 p2, Point3 p3, Point3 p4);

// Sets break_flag where C(i) and N(i+1) are more than 2.5 A apart.
void detect_chain_breaks(std::vector<Residue>& residues);

// The same, telling chain changes by the chains (those of the residues) instead of comparing
// chain ids; returns the unbroken runs the breaks and chain changes leave.
Segments detect_chain_breaks(std::vector<Residue>& residues, const std::vector<Chain>& chains);

// Places amide hydrogens and computes phi, psi, omega, kappa, alpha and tco
// in one pass; break flags must be set.
void compute_backbone_geometry(std::vector<Residue>& residues);
void compute_backbone_geometry(std::vector<Residue>& residues, const Segments& segments);

}  // namespace tarnix::core
