// The record that carries one protein structure through the whole program.
// Producers (file readers, the coordinate path) fill the input fields; the core
// (assign_structure) writes the computed fields in place.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarnix::core {

struct Point3 {
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
};

struct Atom {
    std::string name;
    Point3 position;
};

struct HBondSlot {
    std::optional<std::uint64_t> partner;
    double energy = 0.0;  // kcal/mol; 0.0 while the slot is empty
};

enum class HelixFlag : std::uint8_t {
    none = 0,
    start = 1,
    middle = 2,
    end = 3,
    start_and_end = 4,
};

struct BridgePartner {
    std::uint64_t partner = 0;
    std::uint32_t ladder = 0;
    bool parallel = false;
};

// Values of Residue::break_flag.
inline constexpr std::uint8_t kNoBreak = 0;
inline constexpr std::uint8_t kBreakNewChain = 1;
inline constexpr std::uint8_t kBreakSameChain = 2;

// Index into Residue::turn_flags for turns of length 3, 4 and 5.
inline constexpr std::size_t turn_slot(std::size_t turn_length) { return turn_length - 3; }

struct Residue {
    // Input fields, set by the producer.
    std::optional<Point3> h;  // amide hydrogen
    Point3 n;
    Point3 ca;
    Point3 c;
    Point3 o;
    std::vector<Atom> atoms;  // other heavy atoms, in reading order
    std::string chain_id;
    std::string ins_code;
    std::string res_name;
    std::int32_t seq_id = 0;
    char amino_acid = 'X';
    std::uint64_t index = 0;

    // Computed fields, written by the core.
    std::uint8_t break_flag = kNoBreak;
    std::optional<float> phi;
    std::optional<float> psi;
    std::optional<float> omega;
    std::optional<float> kappa;
    std::optional<float> alpha;
    std::optional<float> tco;
    std::array<HBondSlot, 2> donor_bonds{};
    std::array<HBondSlot, 2> acceptor_bonds{};
    std::array<std::optional<BridgePartner>, 2> bridge_partners{};
    std::uint32_t sheet = 0;
    std::array<HelixFlag, 3> turn_flags{HelixFlag::none, HelixFlag::none, HelixFlag::none};
    HelixFlag ppii_flag = HelixFlag::none;
    bool bend = false;
    float accessibility = 0.0f;
    char ss = ' ';
};

struct Chain {
    std::string chain_id;
    std::uint64_t start_index = 0;
    std::uint64_t end_index = 0;  // one past the last residue
};

struct Structure {
    std::string id;
    std::vector<Residue> residues;
    std::vector<Chain> chains;
};

struct AssignOptions {
    std::uint64_t ppii_stretch = 3;
    std::uint64_t sasa_points = 100;
    bool calculate_sasa = true;
};

// Equal chain ids; most are one character, which is compared without a call.
inline bool same_chain_id(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    if (a.size() == 1) return a[0] == b[0];
    return a == b;
}

// Rebuilds structure.chains: one Chain per run of consecutive residues with equal chain_id.
void group_chains(Structure& structure);

// Sets each residue's index to its position and rebuilds the chains: what a producer does
// once its residue list is complete, and the core before it starts.
void number_and_group(Structure& structure);

// Unbroken runs of residues. A run ends before every residue whose chain_id differs from its
// predecessor's or whose break_flag is set, so build it once break flags are known.
class Segments {
public:
    explicit Segments(const std::vector<Residue>& residues);
    // From the run number of every residue, ascending from 0.
    explicit Segments(std::vector<std::uint64_t> run) : run_(std::move(run)) {}

    // Residues first..last (first <= last) continue one another without a break or chain change.
    bool unbroken(std::size_t first, std::size_t last) const { return run_[first] == run_[last]; }

private:
    std::vector<std::uint64_t> run_;
};

}  // namespace tarnix::core
