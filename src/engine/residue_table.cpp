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
    kInput, kIndex, kChainId, kSeqId, kInsertionCode, kResidueName, kAminoAcid, kStructure,
    kStructureC3, kPhi, kPsi, kOmega, kKappa, kAlpha, kTco, kAccessibility, kRsa,
    kBridgePartner1, kBridgePartner2, kSheet, kNhO1Offset, kNhO1Energy, kNhO2Offset,
    kNhO2Energy, kOHn1Offset, kOHn1Energy, kOHn2Offset, kOHn2Energy, kFieldCount,
};
static_assert(kFieldCount == kResidueColumns.size());
static_assert(std::string_view(kResidueColumns[kRsa].name) == "rsa");
static_assert(std::string_view(kResidueColumns[kOHn2Energy].name) == "o_hn_2_energy");

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Code points of valid UTF-8 (the readers and the binding accept nothing else).
std::u32string code_points(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length && i + k < text.size(); ++k) {
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        out.push_back(point);
        i += length;
    }
    return out;
}

class TableWriter {
public:
    explicit TableWriter(ResidueTable& table) : table_(table) {}

    void put(Field field, std::int32_t value) { table_.columns[field].values.push_back(std::bit_cast<std::uint32_t>(value)); }
    void put(Field field, float value) { table_.columns[field].values.push_back(std::bit_cast<std::uint32_t>(value)); }
    void put(Field field, const std::optional<float>& value) { put(field, value.value_or(kNaN)); }
    void put_char(Field field, char value) { table_.columns[field].values.push_back(static_cast<unsigned char>(value)); }

    // Text columns are filled after their width is known.
    void put_text(Field field, const std::vector<std::u32string>& values) {
        Column& column = table_.columns[field];
        column.width = 1;
        for (const auto& value : values) column.width = std::max(column.width, value.size());
        column.values.assign(values.size() * column.width, 0);
        for (std::size_t row = 0; row < values.size(); ++row) {
            std::copy(values[row].begin(), values[row].end(), column.values.begin() + row * column.width);
        }
    }

private:
    ResidueTable& table_;
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
    for (std::size_t field = 0; field < kFieldCount; ++field) {
        if (kResidueColumns[field].kind != ColumnKind::text) table.columns[field].values.reserve(residues.size());
    }
    TableWriter out(table);
    std::vector<std::u32string> chain_ids, insertion_codes, residue_names;
    chain_ids.reserve(residues.size());
    insertion_codes.reserve(residues.size());
    residue_names.reserve(residues.size());
    for (std::size_t i = 0; i < residues.size(); ++i) {
        const core::Residue& residue = residues[i];
        out.put(kInput, input);
        out.put(kIndex, static_cast<std::int32_t>(i));
        chain_ids.push_back(code_points(residue.chain_id));
        out.put(kSeqId, residue.seq_id);
        insertion_codes.push_back(code_points(residue.ins_code));
        residue_names.push_back(code_points(residue.res_name));
        out.put(kPhi, residue.phi);
        out.put(kPsi, residue.psi);
        out.put(kOmega, residue.omega);
        out.put(kKappa, residue.kappa);
        out.put(kAlpha, residue.alpha);
        out.put(kTco, residue.tco);
        out.put(kAccessibility, residue.accessibility);
        const auto maximum = max_accessibility(residue.res_name);
        out.put(kRsa, accessibility_computed && maximum ? residue.accessibility / *maximum : kNaN);
        for (const auto& [field, k] : {std::pair{kBridgePartner1, 0}, std::pair{kBridgePartner2, 1}}) {
            const auto& bridge = residue.bridge_partners[k];
            out.put(field, offset(i, bridge ? std::optional(bridge->partner) : std::nullopt));
        }
        out.put(kSheet, static_cast<std::int32_t>(residue.sheet));
        for (const auto& [field, slot] : {std::pair{kNhO1Offset, &residue.donor_bonds[0]},
                                         std::pair{kNhO2Offset, &residue.donor_bonds[1]},
                                         std::pair{kOHn1Offset, &residue.acceptor_bonds[0]},
                                         std::pair{kOHn2Offset, &residue.acceptor_bonds[1]}}) {
            out.put(field, offset(i, slot->partner));
            out.put(static_cast<Field>(field + 1), static_cast<float>(slot->energy));
        }
    }
    out.put_text(kChainId, chain_ids);
    out.put_text(kInsertionCode, insertion_codes);
    out.put_text(kResidueName, residue_names);
    for (const auto& residue : residues) {
        out.put_char(kAminoAcid, residue.amino_acid);
        out.put_char(kStructure, residue.ss);
        out.put_char(kStructureC3, core::code_c3(residue.ss));
    }
    return table;
}

}  // namespace tarnix::engine
