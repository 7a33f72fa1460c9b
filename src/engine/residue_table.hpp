// One structure's residues as columns: every value the core computes, ready to hand to Python
// as flat arrays without a Python object per residue.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/structure.hpp"

namespace tarnix::engine {

enum class ColumnKind : std::uint8_t { int32, float32, text };

struct ColumnSpec {
    const char* name;
    ColumnKind kind;
};

// The columns in table order. Text is UTF-32, fixed width per table (the widest value,
// at least one code point), padded with zeros, as NumPy stores 'U' arrays.
inline constexpr std::array<ColumnSpec, 28> kResidueColumns = {{
    {"input", ColumnKind::int32},
    {"index", ColumnKind::int32},
    {"chain_id", ColumnKind::text},
    {"seq_id", ColumnKind::int32},
    {"insertion_code", ColumnKind::text},
    {"residue_name", ColumnKind::text},
    {"amino_acid", ColumnKind::text},
    {"structure", ColumnKind::text},
    {"structure_c3", ColumnKind::text},
    {"phi", ColumnKind::float32},
    {"psi", ColumnKind::float32},
    {"omega", ColumnKind::float32},
    {"kappa", ColumnKind::float32},
    {"alpha", ColumnKind::float32},
    {"tco", ColumnKind::float32},
    {"accessibility", ColumnKind::float32},
    {"rsa", ColumnKind::float32},
    {"bridge_partner_1", ColumnKind::int32},
    {"bridge_partner_2", ColumnKind::int32},
    {"sheet", ColumnKind::int32},
    {"nh_o_1_offset", ColumnKind::int32},
    {"nh_o_1_energy", ColumnKind::float32},
    {"nh_o_2_offset", ColumnKind::int32},
    {"nh_o_2_energy", ColumnKind::float32},
    {"o_hn_1_offset", ColumnKind::int32},
    {"o_hn_1_energy", ColumnKind::float32},
    {"o_hn_2_offset", ColumnKind::int32},
    {"o_hn_2_energy", ColumnKind::float32},
}};

struct Column {
    std::vector<std::uint32_t> values;  // int32 and float32 bit patterns, or code points
    std::size_t width = 1;              // code points per value, text only
};

// The residues of one structure after the core has run.
struct ResidueTable {
    std::array<Column, kResidueColumns.size()> columns;
    std::size_t rows = 0;
};

// `input` is the structure's row in the table of structures; `accessibility_computed` says whether
// the accessibility phase ran (accessibility and relative accessibility are NaN otherwise).
ResidueTable residue_table(const core::Structure& structure, std::int32_t input, bool accessibility_computed);

// Makes `input` the table's row in the table of structures.
void set_row(ResidueTable& table, std::int32_t input);

}  // namespace tarnix::engine
