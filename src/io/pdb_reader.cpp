#include <array>
#include <optional>
#include <string_view>

#include "io/line_reader.hpp"
#include "io/readers.hpp"
#include "io/residue_collector.hpp"
#include "io/text.hpp"

namespace tarnix::io {
namespace {

constexpr std::size_t kMinAtomLineLength = 54;

// Byte offsets at which a field (or an unread gap) begins.
constexpr std::array<std::size_t, 12> kFieldBoundaries = {12, 16, 17, 20, 21, 22, 26, 27, 30, 38, 46, 54};

struct AtomLine {
    std::string_view atom_name;
    std::string_view alt_loc;  // empty for a blank column
    std::string_view res_name;
    std::string_view chain_id;
    std::int32_t seq_id = 0;
    std::string_view ins_code;
    core::Point3 position;
};

bool is_atom_record(std::string_view line) {
    return line.starts_with("ATOM  ") || line.starts_with("HETATM");
}

// A field boundary inside a multi-byte character leaves no sensible column to read.
bool splits_a_character(std::string_view line) {
    for (const std::size_t boundary : kFieldBoundaries) {
        if (boundary < line.size() && (static_cast<unsigned char>(line[boundary]) & 0xC0) == 0x80) {
            return true;
        }
    }
    return false;
}

std::string_view columns(std::string_view line, std::size_t first, std::size_t last) {
    return line.substr(first - 1, last - first + 1);
}

std::optional<float> coordinate(std::string_view line, std::size_t first, std::size_t last) {
    const auto parsed = parse_f32(trim(columns(line, first, last)));
    if (!parsed.ok()) {
        return std::nullopt;
    }
    return parsed.value;
}

// The fields of an ATOM/HETATM line, or nothing when the line is rejected.
std::optional<AtomLine> read_atom_line(std::string_view line) {
    if (line.size() < kMinAtomLineLength || splits_a_character(line)) {
        return std::nullopt;
    }
    AtomLine atom;
    const auto seq = parse_i32(trim(columns(line, 23, 26)));
    const auto x = coordinate(line, 31, 38);
    const auto y = coordinate(line, 39, 46);
    const auto z = coordinate(line, 47, 54);
    if (!seq.ok() || !x || !y || !z) {
        return std::nullopt;
    }
    atom.atom_name = trim(columns(line, 13, 16));
    atom.alt_loc = line[16] == ' ' ? std::string_view() : columns(line, 17, 17);
    atom.res_name = trim(columns(line, 18, 20));
    atom.chain_id = columns(line, 22, 22);
    atom.seq_id = seq.value;
    atom.ins_code = trim(columns(line, 27, 27));
    atom.position = core::Point3{*x, *y, *z};
    return atom;
}

}  // namespace

ReadResult parse_pdb(FileDescriptor file) {
    FileSource source(std::move(file));
    return parse_pdb(source);
}

ReadResult parse_pdb(ByteSource& source) {
    LineReader reader(source);
    ResidueCollector residues;
    while (const auto line = reader.next()) {
        if (is_atom_record(*line)) {
            if (const auto atom = read_atom_line(*line)) {
                PendingResidue& residue =
                    residues.residue(atom->chain_id, atom->seq_id, atom->ins_code, atom->res_name);
                if (accept_alternate_location(residue, atom->alt_loc)) {
                    place_atom(residue, atom->atom_name, atom->position, AmideHydrogenRule::first_of_h_hn_h1);
                }
            }
        }
        if (line->starts_with("END")) {
            break;
        }
    }
    if (reader.error()) {
        return InputError::io(*reader.error());
    }
    return residues.build();
}

}  // namespace tarnix::io
