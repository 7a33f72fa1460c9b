#include "io/residue_names.hpp"

#include <array>
#include <cstdint>
#include <utility>

namespace tarnix::io {
namespace {

constexpr std::uint32_t pack(const char (&name)[4]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(name[0])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(name[1])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(name[2]));
}

char code_of_upper_name(std::uint32_t packed) {
    switch (packed) {
        case pack("ALA"): return 'A';
        case pack("ARG"): return 'R';
        case pack("ASN"): return 'N';
        case pack("ASP"): return 'D';
        case pack("CYS"): return 'C';
        case pack("GLN"): return 'Q';
        case pack("GLU"): return 'E';
        case pack("GLY"): return 'G';
        case pack("HIS"):
        case pack("HID"):
        case pack("HIE"):
        case pack("HIP"): return 'H';
        case pack("ILE"): return 'I';
        case pack("LEU"): return 'L';
        case pack("LYS"): return 'K';
        case pack("MET"):
        case pack("MSE"): return 'M';
        case pack("PHE"): return 'F';
        case pack("PRO"): return 'P';
        case pack("SER"): return 'S';
        case pack("THR"): return 'T';
        case pack("TRP"): return 'W';
        case pack("TYR"): return 'Y';
        case pack("VAL"): return 'V';
        default: return 'X';
    }
}

constexpr std::array<std::string_view, 20> kStandardResidues = {
    "ALA", "ARG", "ASN", "ASP", "CYS", "GLN", "GLU", "GLY", "HIS", "ILE",
    "LEU", "LYS", "MET", "PHE", "PRO", "SER", "THR", "TRP", "TYR", "VAL",
};

// The names force fields give the protonation states and disulfide forms of the standard residues.
constexpr std::array<std::pair<std::string_view, std::string_view>, 29> kForceFieldVariants = {{
    {"HID", "HIS"},  {"HIE", "HIS"},  {"HIP", "HIS"},  {"HSD", "HIS"},  {"HSE", "HIS"},  {"HSP", "HIS"},
    {"HISD", "HIS"}, {"HISE", "HIS"}, {"HISH", "HIS"}, {"HISA", "HIS"}, {"HISB", "HIS"}, {"HIS1", "HIS"},
    {"ASH", "ASP"},  {"ASPH", "ASP"}, {"ASPP", "ASP"}, {"GLH", "GLU"},  {"GLUH", "GLU"}, {"GLUP", "GLU"},
    {"LYN", "LYS"},  {"LSN", "LYS"},  {"LYSN", "LYS"}, {"LYSH", "LYS"}, {"CYX", "CYS"},  {"CYM", "CYS"},
    {"CYS2", "CYS"}, {"CYSH", "CYS"}, {"ARN", "ARG"},  {"ARGN", "ARG"}, {"TYM", "TYR"},
}};

// The standard residue of an upper-case name without a terminal prefix.
std::string_view unprefixed_standard_residue(std::string_view upper) {
    for (const std::string_view name : kStandardResidues) {
        if (upper == name) return name;
    }
    for (const auto& [variant, parent] : kForceFieldVariants) {
        if (upper == variant) return parent;
    }
    return {};
}

// Upper-case form of the code point encoded at name[pos..pos+length) when that form is all
// ASCII. Every other non-ASCII code point upper-cases to a string holding a non-ASCII
// character, which cannot match the all-ASCII table.
std::string_view ascii_upper_form(std::string_view name, std::size_t pos, std::size_t length) {
    const std::string_view sequence = name.substr(pos, length);
    if (sequence == "\xC4\xB1") return "I";        // U+0131 dotless i
    if (sequence == "\xC5\xBF") return "S";        // U+017F long s
    if (sequence == "\xC3\x9F") return "SS";       // U+00DF sharp s
    if (sequence == "\xEF\xAC\x80") return "FF";   // U+FB00
    if (sequence == "\xEF\xAC\x81") return "FI";   // U+FB01
    if (sequence == "\xEF\xAC\x82") return "FL";   // U+FB02
    if (sequence == "\xEF\xAC\x83") return "FFI";  // U+FB03
    if (sequence == "\xEF\xAC\x84") return "FFL";  // U+FB04
    if (sequence == "\xEF\xAC\x85") return "ST";   // U+FB05
    if (sequence == "\xEF\xAC\x86") return "ST";   // U+FB06
    return {};
}

std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    return 2;
}

}  // namespace

char one_letter_code(std::string_view residue_name) {
    std::uint32_t packed = 0;
    std::size_t length = 0;
    const auto append = [&](char c) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
        packed = (packed << 8) | static_cast<unsigned char>(c);
        ++length;
    };
    for (std::size_t pos = 0; pos < residue_name.size();) {
        const auto lead = static_cast<unsigned char>(residue_name[pos]);
        if (lead < 0x80) {
            append(static_cast<char>(lead));
            ++pos;
        } else {
            const std::size_t sequence = sequence_length(lead);
            const std::string_view upper = ascii_upper_form(residue_name, pos, sequence);
            if (upper.empty()) {
                return 'X';
            }
            for (const char c : upper) {
                append(c);
            }
            pos += sequence;
        }
        if (length > 3) {
            return 'X';
        }
    }
    return length == 3 ? code_of_upper_name(packed) : 'X';
}

}  // namespace tarnix::io

namespace tarnix::io {

std::string_view standard_residue(std::string_view residue_name) {
    char upper[4];
    if (residue_name.size() < 3 || residue_name.size() > sizeof upper) return {};
    for (std::size_t i = 0; i < residue_name.size(); ++i) {
        const char c = residue_name[i];
        upper[i] = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view name(upper, residue_name.size());
    if (const std::string_view parent = unprefixed_standard_residue(name); !parent.empty()) return parent;
    // A terminal residue's name is its own behind N or C; three letters follow, as no variant
    // behind a prefix has four.
    if (name.size() == 4 && (name[0] == 'N' || name[0] == 'C')) return unprefixed_standard_residue(name.substr(1));
    return {};
}

char residue_code(std::string_view residue_name) {
    const char code = one_letter_code(residue_name);
    if (code != 'X') return code;
    const std::string_view parent = standard_residue(residue_name);
    return parent.empty() ? 'X' : one_letter_code(parent);
}

}  // namespace tarnix::io
