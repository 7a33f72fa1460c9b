#include "engine/relative_accessibility.hpp"

#include <array>
#include <cstdint>
#include <utility>

#include "io/residue_names.hpp"

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

// The value of a name of the scale itself.
std::optional<float> standard_max_accessibility(std::string_view residue_name) {
    // Called for every residue of every table, so the name is taken as three bytes in one word
    // and found by a switch (a few comparisons) rather than by a walk through the names.
    static_assert(kTheoreticalMaximum.size() == 20, "a case per name");
    if (residue_name.size() != 3) return std::nullopt;
    const auto value = [](std::size_t k) { return kTheoreticalMaximum[k].second; };
    switch (three_letters(residue_name)) {
        case three_letters(kTheoreticalMaximum[0].first): return value(0);
        case three_letters(kTheoreticalMaximum[1].first): return value(1);
        case three_letters(kTheoreticalMaximum[2].first): return value(2);
        case three_letters(kTheoreticalMaximum[3].first): return value(3);
        case three_letters(kTheoreticalMaximum[4].first): return value(4);
        case three_letters(kTheoreticalMaximum[5].first): return value(5);
        case three_letters(kTheoreticalMaximum[6].first): return value(6);
        case three_letters(kTheoreticalMaximum[7].first): return value(7);
        case three_letters(kTheoreticalMaximum[8].first): return value(8);
        case three_letters(kTheoreticalMaximum[9].first): return value(9);
        case three_letters(kTheoreticalMaximum[10].first): return value(10);
        case three_letters(kTheoreticalMaximum[11].first): return value(11);
        case three_letters(kTheoreticalMaximum[12].first): return value(12);
        case three_letters(kTheoreticalMaximum[13].first): return value(13);
        case three_letters(kTheoreticalMaximum[14].first): return value(14);
        case three_letters(kTheoreticalMaximum[15].first): return value(15);
        case three_letters(kTheoreticalMaximum[16].first): return value(16);
        case three_letters(kTheoreticalMaximum[17].first): return value(17);
        case three_letters(kTheoreticalMaximum[18].first): return value(18);
        case three_letters(kTheoreticalMaximum[19].first): return value(19);
        default: return std::nullopt;
    }
}

}  // namespace

std::optional<float> max_accessibility(std::string_view residue_name) {
    if (const auto maximum = standard_max_accessibility(residue_name)) return maximum;
    const std::string_view standard = io::standard_residue(residue_name);
    return standard.empty() ? std::nullopt : standard_max_accessibility(standard);
}

}  // namespace tarnix::engine
