#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/simd.hpp"
#include "io/line_reader.hpp"
#include "io/readers.hpp"
#include "io/residue_collector.hpp"
#include "io/text.hpp"

#ifdef TARNIX_X86_SIMD
#include <emmintrin.h>
#endif

namespace tarnix::io {
namespace {

constexpr std::size_t kMinAtomLineLength = 54;

// Byte offsets at which a field (or an unread gap) begins.
constexpr std::array<std::size_t, 12> kFieldBoundaries = {12, 16, 17, 20, 21, 22, 26, 27, 30, 38, 46, 54};

bool is_atom_record(std::string_view line) { return line.starts_with("ATOM  ") || line.starts_with("HETATM"); }

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

// Fills atom from an ATOM/HETATM line, or returns false when the line is rejected.
// `trim_field` decides how text fields are trimmed, `parse_coordinates` reads the three
// coordinate columns into a point or returns false.
template <class TrimField, class ParseCoordinates>
bool read_atom_fields(std::string_view line, TrimField trim_field, ParseCoordinates parse_coordinates,
                      AtomRecord& atom) {
    const auto seq = parse_i32(trim_field(columns(line, 23, 26)));
    core::Point3 position;
    if (!seq.ok() || !parse_coordinates(line, position)) {
        return false;
    }
    atom.atom_name = trim_field(columns(line, 13, 16));
    atom.alt_loc = line[16] == ' ' ? std::string_view() : columns(line, 17, 17);
    atom.res_name = trim_field(columns(line, 18, 20));
    atom.chain_id = columns(line, 22, 22);
    atom.seq_id = seq.value;
    atom.ins_code = trim_field(columns(line, 27, 27));
    atom.position = position;
    return true;
}

// The coordinates, each by `parse` of its column.
template <class Parse>
bool coordinates_by_field(std::string_view line, Parse parse, core::Point3& position) {
    const auto x = parse(columns(line, 31, 38));
    const auto y = parse(columns(line, 39, 46));
    const auto z = parse(columns(line, 47, 54));
    if (!x.ok() || !y.ok() || !z.ok()) {
        return false;
    }
    position = core::Point3{x.value, y.value, z.value};
    return true;
}

#ifdef TARNIX_X86_SIMD
// The text columns 13 to 28 of an ASCII line classed at once: bit i of `text` and `digits` for
// line byte 12 + i, which is not ASCII white space, or is a digit.
struct TextColumns {
    unsigned text;
    unsigned digits;

    explicit TextColumns(const char* bytes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
        const __m128i from_tab = _mm_sub_epi8(v, _mm_set1_epi8('\t'));
        const __m128i white = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                           _mm_cmpeq_epi8(_mm_min_epu8(from_tab, _mm_set1_epi8(4)), from_tab));
        const __m128i from_zero = _mm_sub_epi8(v, _mm_set1_epi8('0'));
        const __m128i digit = _mm_cmpeq_epi8(_mm_min_epu8(from_zero, _mm_set1_epi8(9)), from_zero);
        text = ~static_cast<unsigned>(_mm_movemask_epi8(white)) & 0xFFFF;
        digits = static_cast<unsigned>(_mm_movemask_epi8(digit));
    }

    // trim_ascii of the `width` bytes from column byte `first` on.
    std::string_view trimmed(const char* bytes, unsigned first, unsigned width) const {
        const unsigned bits = (text >> first) & ((1u << width) - 1);
        if (bits == 0) return std::string_view(bytes + first + width, 0);
        const auto begin = static_cast<unsigned>(std::countr_zero(bits));
        return std::string_view(bytes + first + begin, static_cast<unsigned>(std::bit_width(bits)) - begin);
    }
};

// read_atom_fields(line, trim_ascii, ...) for an ASCII line of at least kMinAtomLineLength bytes
// whose sequence number is plain digits and whose coordinates have the "%8.3f" shape: true with
// the atom filled; false, with nothing changed, for any other line, which that reads instead.
bool read_usual_ascii_atom_line(std::string_view line, AtomRecord& atom) {
    const char* text = line.data() + 12;
    const TextColumns classes(text);
    const std::string_view seq = classes.trimmed(text, 10, 4);
    const auto seq_offset = static_cast<unsigned>(seq.data() - text);
    const unsigned seq_bits = ((1u << seq.size()) - 1) << seq_offset;
    float xyz[3];
    if (seq.empty() || (classes.digits & seq_bits) != seq_bits || !parse_three_fixed_fields(line.data() + 30, xyz)) {
        return false;
    }
    std::int32_t seq_id = 0;
    for (const char digit : seq) seq_id = seq_id * 10 + (digit - '0');
    atom.atom_name = classes.trimmed(text, 0, 4);
    atom.alt_loc = line[16] == ' ' ? std::string_view() : columns(line, 17, 17);
    atom.res_name = classes.trimmed(text, 5, 3);
    atom.chain_id = columns(line, 22, 22);
    atom.seq_id = seq_id;
    atom.ins_code = classes.trimmed(text, 14, 1);
    atom.position = core::Point3{xyz[0], xyz[1], xyz[2]};
    return true;
}
#endif

bool read_atom_line(std::string_view line, bool line_is_ascii, AtomRecord& atom) {
    if (line.size() < kMinAtomLineLength) {
        return false;
    }
    // In an ASCII line no field boundary can split a character, and trimming needs to look
    // for ASCII white space only. Its coordinates usually all have the "%8.3f" shape, which
    // the three columns are read in at once.
    if (line_is_ascii) {
#ifdef TARNIX_X86_SIMD
        if (read_usual_ascii_atom_line(line, atom)) {
            return true;
        }
#endif
        const auto coordinates = [](std::string_view ascii_line, core::Point3& position) {
            float xyz[3];
            if (parse_three_fixed_fields(ascii_line.data() + 30, xyz)) {
                position = core::Point3{xyz[0], xyz[1], xyz[2]};
                return true;
            }
            return coordinates_by_field(ascii_line, parse_f32_field, position);
        };
        return read_atom_fields(line, trim_ascii, coordinates, atom);
    }
    if (splits_a_character(line)) {
        return false;
    }
    const auto coordinates = [](std::string_view text_line, core::Point3& position) {
        return coordinates_by_field(
            text_line, [](std::string_view field) { return parse_f32(trim(field)); }, position);
    };
    return read_atom_fields(line, trim, coordinates, atom);
}

bool is_model_record(std::string_view line) { return line.starts_with("MODEL"); }

bool is_chain_end(std::string_view line) { return line.starts_with("TER"); }

// The serial of a MODEL record, or `place` when it does not parse.
std::int32_t model_serial(std::string_view line, std::int32_t place) {
    const auto serial = parse_i32(trim(line.substr(5)));
    return serial.ok() ? serial.value : place;
}

// What ended a model's lines, and what they held.
struct ModelEnd {
    bool by_endmdl = false;     // another model may follow
    bool held_records = false;  // an ATOM, HETATM or MODEL record was among them
};

// Reads lines into `residues` up to the first line starting with "END" (or the end of the
// source); that is the first-model read of the file, and each model of `--models all` is the
// same read from just after the ENDMDL before it. The first MODEL record before the first atom
// read numbers the model; a serial that does not parse, or no such record, leaves `number`.
ModelEnd read_model(LineReader& reader, ResidueCollector& residues, std::int32_t& number) {
    ModelEnd end;
    AtomRecord atom;
    bool numbered = false;
    while (const auto line = reader.next()) {
        if (is_atom_record(*line)) {
            end.held_records = true;
            if (read_atom_line(*line, reader.line_is_ascii(), atom)) {
                residues.add(atom);
                numbered = true;
                continue;
            }
        } else if (is_chain_end(*line)) {
            residues.end_chain();
        } else if (is_model_record(*line)) {
            end.held_records = true;
            if (!numbered) number = model_serial(*line, number);
            numbered = true;
        }
        if (line->starts_with("END")) {
            end.by_endmdl = line->starts_with("ENDMDL");
            break;
        }
    }
    return end;
}

ReadResult read_first_model(ByteSource& source, std::int32_t& model_number, ResidueRules rules) {
    LineReader reader(source);
    ResidueCollector residues(AmideHydrogenRule::first_of_h_hn_h1, rules);
    read_model(reader, residues, model_number);
    if (reader.error()) {
        return InputError::io(*reader.error());
    }
    return residues.build();
}

}  // namespace

ReadResult parse_pdb(FileDescriptor file) {
    FileSource source(std::move(file));
    return parse_pdb(source);
}

ReadResult parse_pdb(ByteSource& source, ResidueRules rules) {
    std::int32_t model_number = 1;
    return read_first_model(source, model_number, rules);
}

ReadResult parse_pdb(ByteSource& source, std::int32_t& model_number, ResidueRules rules) {
    model_number = 1;
    return read_first_model(source, model_number, rules);
}

// Lines after the last ENDMDL that hold no record (CONECT, MASTER, END) make no model; the first
// model is always visited, as the first-model read always gives a result.
std::optional<InputError> parse_pdb_models(ByteSource& source, const ModelVisitor& visit, ResidueRules rules) {
    LineReader reader(source);
    for (std::int32_t place = 1;;) {
        ResidueCollector residues(AmideHydrogenRule::first_of_h_hn_h1, rules);
        std::int32_t number = place;
        const ModelEnd end = read_model(reader, residues, number);
        if (reader.error()) {
            return InputError::io(*reader.error());
        }
        if (place == 1 || end.held_records) {
            visit(number, residues.build());
            ++place;
        }
        if (!end.by_endmdl) return std::nullopt;
    }
}

}  // namespace tarnix::io
