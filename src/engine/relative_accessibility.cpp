#include "engine/relative_accessibility.hpp"

#include <array>
#include <cstdint>
#include <utility>

namespace tarnix::engine {
namespace {

// Theoretical scale of Tien, Meyer, Sydykova, Spielman and Wilke, "Maximum allowed solvent
// accessibilities of residues in proteins", PLoS ONE 8(11): e80635 (2013).
constexpr std::array<std::pair<std::string_view, float>, 20> kTheoreticalMaximum = {{
    {"ALA", 129.0f}, {"ARG", 274.0f}, {"ASN", 195.0f}, {"ASP", 193.0f}, {"CYS", 167.0f},
    {"GLN", 225.0f}, {"GLU", 223.0f}, {"GLY", 104.0f}, {"HIS", 224.0f}, {"ILE", 197.0f},
    {"LEU", 201.0f}, {"LYS", 236.0f}, {"MET", 224.0f}, {"PHE", 240.0f}, {"PRO", 159.0f},
    {"SER", 155.0f}, {"THR", 172.0f}, {"TRP", 285.0f}, {"TYR", 263.0f}, {"VAL", 174.0f},
}};

constexpr std::uint32_t three_letters(std::string_view name) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[2]));
}

}  // namespace

std::optional<float> max_accessibility(std::string_view residue_name) {
    // Called for every residue of every table, so the names are compared as three bytes in one
    // word rather than as strings.
    static constexpr auto kKeys = [] {
        std::array<std::uint32_t, kTheoreticalMaximum.size()> keys{};
        for (std::size_t k = 0; k < keys.size(); ++k) keys[k] = three_letters(kTheoreticalMaximum[k].first);
        return keys;
    }();
    if (residue_name.size() != 3) return std::nullopt;
    const std::uint32_t key = three_letters(residue_name);
    for (std::size_t k = 0; k < kKeys.size(); ++k) {
        if (kKeys[k] == key) return kTheoreticalMaximum[k].second;
    }
    return std::nullopt;
}

}  // namespace tarnix::engine
