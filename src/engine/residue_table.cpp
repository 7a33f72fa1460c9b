#include "engine/residue_table.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

#include "core/codes.hpp"
#include "engine/relative_accessibility.hpp"

namespace tarnix::engine {
namespace {

// Indices into kResidueColumns; the static_asserts keep them in step with the names.
enum Field : std::size_t {
    kInput,
    kIndex,
    kChainId,
    kSeqId,
    kInsertionCode,
    kResidueName,
    kAminoAcid,
    kStructure,
    kStructureC3,
    kPhi,
    kPsi,
    kOmega,
    kKappa,
    kAlpha,
    kTco,
    kAccessibility,
    kRsa,
    kBridgePartner1,
    kBridgePartner2,
    kSheet,
    kNhO1Offset,
    kNhO1Energy,
    kNhO2Offset,
    kNhO2Energy,
    kOHn1Offset,
    kOHn1Energy,
    kOHn2Offset,
    kOHn2Energy,
    kFieldCount,
};
static_assert(kFieldCount == kResidueColumns.size());
static_assert(std::string_view(kResidueColumns[kRsa].name) == "rsa");
static_assert(std::string_view(kResidueColumns[kOHn2Energy].name) == "o_hn_2_energy");

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Text is valid UTF-8 (the readers and the binding accept nothing else); a lead byte gives the
// length of its sequence.
std::size_t sequence_length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

std::size_t code_point_count(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); i += sequence_length(static_cast<unsigned char>(text[i]))) ++count;
    return count;
}

// Writes the code points of text from out on.
void write_code_points(std::string_view text, std::uint32_t* out) {
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequence_length(lead);
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        *out++ = point;
        i += length;
    }
}

// Each column sized to the rows up front and written through a pointer: a push_back per value
// and column (with its capacity test) cost more than the values themselves.
class TableWriter {
public:
    explicit TableWriter(ResidueTable& table) : table_(table) {
        for (std::size_t field = 0; field < kFieldCount; ++field) {
            // Text columns of one character a row are filled a row at a time, like the numbers.
            if (kResidueColumns[field].kind == ColumnKind::text && !is_char_column(static_cast<Field>(field))) continue;
            table_.columns[field].values.resize(table_.rows);
            at_[field] = table_.columns[field].values.data();
        }
    }

    void put(std::size_t row, Field field, std::int32_t value) {
        at_[field][row] = std::bit_cast<std::uint32_t>(value);
    }
    void put(std::size_t row, Field field, float value) { at_[field][row] = std::bit_cast<std::uint32_t>(value); }
    void put(std::size_t row, Field field, const std::optional<float>& value) { put(row, field, value.value_or(kNaN)); }
    void put_char(std::size_t row, Field field, char value) { at_[field][row] = static_cast<unsigned char>(value); }

    // Text columns are filled after their width is known.
    template <typename Text>
    void put_text(Field field, const std::vector<core::Residue>& residues, Text text) {
        Column& column = table_.columns[field];
        column.width = 1;
        for (const core::Residue& residue : residues)
            column.width = std::max(column.width, code_point_count(text(residue)));
        column.values.assign(residues.size() * column.width, 0);
        for (std::size_t row = 0; row < residues.size(); ++row) {
            write_code_points(text(residues[row]), column.values.data() + row * column.width);
        }
    }

private:
    static constexpr bool is_char_column(Field field) {
        return field == kAminoAcid || field == kStructure || field == kStructureC3;
    }

    ResidueTable& table_;
    std::array<std::uint32_t*, kFieldCount> at_{};
};

// A partner as a signed offset from the residue itself; 0 for none.
std::int32_t offset(std::uint64_t residue, const std::optional<std::uint64_t>& partner) {
    return partner ? static_cast<std::int32_t>(static_cast<std::int64_t>(*partner) - static_cast<std::int64_t>(residue))
                   : 0;
}

}  // namespace

ResidueTable residue_table(const core::Structure& structure, std::int32_t input, bool accessibility_computed) {
    const auto& residues = structure.residues;
    ResidueTable table;
    table.rows = residues.size();
    TableWriter out(table);
    for (std::size_t i = 0; i < residues.size(); ++i) {
        const core::Residue& residue = residues[i];
        out.put(i, kInput, input);
        out.put(i, kIndex, static_cast<std::int32_t>(i));
        out.put(i, kSeqId, residue.seq_id);
        out.put(i, kPhi, residue.phi);
        out.put(i, kPsi, residue.psi);
        out.put(i, kOmega, residue.omega);
        out.put(i, kKappa, residue.kappa);
        out.put(i, kAlpha, residue.alpha);
        out.put(i, kTco, residue.tco);
        out.put(i, kAccessibility, accessibility_computed ? residue.accessibility : kNaN);
        const auto maximum = max_accessibility(residue.res_name);
        out.put(i, kRsa, accessibility_computed && maximum ? residue.accessibility / *maximum : kNaN);
        for (const auto& [field, k] : {std::pair{kBridgePartner1, 0}, std::pair{kBridgePartner2, 1}}) {
            const auto& bridge = residue.bridge_partners[k];
            out.put(i, field, offset(i, bridge ? std::optional(bridge->partner) : std::nullopt));
        }
        out.put(i, kSheet, static_cast<std::int32_t>(residue.sheet));
        for (const auto& [field, slot] :
             {std::pair{kNhO1Offset, &residue.donor_bonds[0]}, std::pair{kNhO2Offset, &residue.donor_bonds[1]},
              std::pair{kOHn1Offset, &residue.acceptor_bonds[0]}, std::pair{kOHn2Offset, &residue.acceptor_bonds[1]}}) {
            out.put(i, field, offset(i, slot->partner));
            out.put(i, static_cast<Field>(field + 1), static_cast<float>(slot->energy));
        }
        out.put_char(i, kAminoAcid, residue.amino_acid);
        out.put_char(i, kStructure, residue.ss);
        out.put_char(i, kStructureC3, core::code_c3(residue.ss));
    }
    out.put_text(kChainId, residues, [](const core::Residue& r) { return std::string_view(r.chain_id); });
    out.put_text(kInsertionCode, residues, [](const core::Residue& r) { return std::string_view(r.ins_code); });
    out.put_text(kResidueName, residues, [](const core::Residue& r) { return std::string_view(r.res_name); });
    return table;
}

void set_row(ResidueTable& table, std::int32_t input) {
    std::vector<std::uint32_t>& values = table.columns[kInput].values;
    const auto bits = std::bit_cast<std::uint32_t>(input);
    if (!values.empty() && values.front() != bits) std::fill(values.begin(), values.end(), bits);
}

}  // namespace tarnix::engine
