// The atom table of mmCIF, whether its values come from text or from BinaryCIF: the items the
// readers recognise, how a row's values become an atom, and which atoms are kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "io/input_error.hpp"
#include "io/readers.hpp"
#include "io/residue_collector.hpp"
#include "io/text.hpp"

namespace tarnix::io {

enum AtomSiteItem : std::size_t {
    kAtomId,
    kCompId,
    kCartnX,
    kCartnY,
    kCartnZ,
    kAuthAsymId,
    kLabelAsymId,
    kAuthSeqId,
    kLabelSeqId,
    kInsCode,
    kAltId,
    kModelNum,
    kAtomSiteItemCount,
};

// The item names after "_atom_site.", compared exactly.
inline constexpr std::array<std::string_view, kAtomSiteItemCount> kAtomSiteItemNames = {
    "label_atom_id", "label_comp_id", "Cartn_x",           "Cartn_y",      "Cartn_z",
    "auth_asym_id",  "label_asym_id", "auth_seq_id",       "label_seq_id", "pdbx_PDB_ins_code",
    "label_alt_id",  "pdbx_PDB_model_num",
};

inline std::optional<AtomSiteItem> atom_site_item(std::string_view name) {
    for (std::size_t item = 0; item < kAtomSiteItemCount; ++item) {
        if (name == kAtomSiteItemNames[item]) return static_cast<AtomSiteItem>(item);
    }
    return std::nullopt;
}

// The items that give the chain and the sequence number, chosen once from the table's items:
// the author's when the table has them, whatever a row holds.
struct PreferredItems {
    AtomSiteItem chain;
    AtomSiteItem seq;
};

inline PreferredItems preferred_items(bool has_auth_asym_id, bool has_auth_seq_id) {
    return {has_auth_asym_id ? kAuthAsymId : kLabelAsymId, has_auth_seq_id ? kAuthSeqId : kLabelSeqId};
}

struct AtomSiteRow {
    AtomRecord atom;
    std::int32_t model_num = 1;
};

// Fills row from one row's values, or returns the error that ends the read. `values` answers
// for an item of the row:
//   const std::string_view* text(item)             the value as text; null when absent
//   bool coordinate(item, Parsed<float, FloatError>&)   false when absent
//   bool integer(item, std::int32_t&)               false when absent or not a 32-bit integer
// Text values "." and "?" (which BinaryCIF keeps as masks) carry the meanings below.
template <class Values>
std::optional<InputError> decode_atom_site_row(const Values& values, const PreferredItems& preferred,
                                               AtomSiteRow& row) {
    const std::string_view* atom_name = values.text(kAtomId);
    if (!atom_name) {
        return InputError::missing_field(kAtomSiteItemNames[kAtomId]);
    }
    const std::string_view* res_name = values.text(kCompId);
    if (!res_name) {
        return InputError::missing_field(kAtomSiteItemNames[kCompId]);
    }
    float coordinates[3];
    for (std::size_t axis = 0; axis < 3; ++axis) {
        const auto item = static_cast<AtomSiteItem>(kCartnX + axis);
        Parsed<float, FloatError> parsed;
        if (!values.coordinate(item, parsed)) {
            return InputError::missing_field(kAtomSiteItemNames[item]);
        }
        if (!parsed.ok()) {
            return InputError::invalid_number(*parsed.error);
        }
        coordinates[axis] = parsed.value;
    }
    AtomRecord& atom = row.atom;
    atom.atom_name = *atom_name;
    atom.res_name = *res_name;
    atom.position = core::Point3{coordinates[0], coordinates[1], coordinates[2]};
    const std::string_view* chain = values.text(preferred.chain);
    atom.chain_id = chain ? *chain : std::string_view("A");
    if (!values.integer(preferred.seq, atom.seq_id)) {
        atom.seq_id = 1;
    }
    const std::string_view* ins_code = values.text(kInsCode);
    atom.ins_code = !ins_code || *ins_code == "." || *ins_code == "?" ? std::string_view() : *ins_code;
    const std::string_view* alt_loc = values.text(kAltId);
    atom.alt_loc = !alt_loc || *alt_loc == "." ? std::string_view() : *alt_loc;
    if (!values.integer(kModelNum, row.model_num)) {
        row.model_num = 1;
    }
    return std::nullopt;
}

// Keeps the rows of model 1 that are not water, and builds the structure from them.
class AtomSiteSelection {
public:
    void add(const AtomSiteRow& row) {
        if (row.model_num == 1 && row.atom.res_name != "HOH" && row.atom.res_name != "WAT") {
            residues_.add(row.atom);
        }
    }
    ReadResult build() { return residues_.build(); }

private:
    ResidueCollector residues_{AmideHydrogenRule::last_of_h_hn};
};

}  // namespace tarnix::io
