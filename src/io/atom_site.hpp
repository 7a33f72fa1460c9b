// The atom table of mmCIF, whether its values come from text or from BinaryCIF: the items the
// readers recognise, how a row's values become an atom, and which atoms are kept.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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
    "label_atom_id", "label_comp_id", "Cartn_x",      "Cartn_y",           "Cartn_z",      "auth_asym_id",
    "label_asym_id", "auth_seq_id",   "label_seq_id", "pdbx_PDB_ins_code", "label_alt_id", "pdbx_PDB_model_num",
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

// What a row holds for a coordinate: nothing, a number, or text that does not parse as one.
// A plain code rather than a parse result with an optional error: reading such a result back
// from the stack stalled every row.
enum class Coordinate : std::uint8_t { absent, number, empty_text, invalid_text };

inline Coordinate parse_coordinate(std::string_view text, float& value) {
    // The usual shape here, inline: parse_f32 would take the same path behind a call.
    const bool negative = !text.empty() && text.front() == '-';
    if (parse_three_decimals(text.substr(negative ? 1 : 0), value)) {
        if (negative) value = -value;
        return Coordinate::number;
    }
    const auto parsed = parse_f32(text);
    value = parsed.value;
    if (parsed.ok()) return Coordinate::number;
    return *parsed.error == FloatError::empty ? Coordinate::empty_text : Coordinate::invalid_text;
}

struct AtomSiteRow {
    AtomRecord atom;
    std::int32_t model_num = 1;
};

// Whether text is the one character a or b; plain character tests, as a library compare of such
// short texts cost every row a call.
inline bool is_one_of(std::string_view text, char a, char b) {
    return text.size() == 1 && (text[0] == a || text[0] == b);
}

inline bool is_water(std::string_view res_name) {
    return res_name.size() == 3 && ((res_name[0] == 'H' && res_name[1] == 'O' && res_name[2] == 'H') ||
                                    (res_name[0] == 'W' && res_name[1] == 'A' && res_name[2] == 'T'));
}

// Fills row from one row's values, or returns the error that ends the read. `values` answers
// for an item of the row:
//   const std::string_view* text(item)             the value as text; null when absent
//   Coordinate coordinate(item, float&)             the number in the float
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
        switch (values.coordinate(item, coordinates[axis])) {
            case Coordinate::number: break;
            case Coordinate::absent: return InputError::missing_field(kAtomSiteItemNames[item]);
            case Coordinate::empty_text: return InputError::invalid_number(FloatError::empty);
            case Coordinate::invalid_text: return InputError::invalid_number(FloatError::invalid);
        }
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
    atom.ins_code = !ins_code || is_one_of(*ins_code, '.', '?') ? std::string_view() : *ins_code;
    const std::string_view* alt_loc = values.text(kAltId);
    atom.alt_loc = !alt_loc || is_one_of(*alt_loc, '.', '.') ? std::string_view() : *alt_loc;
    if (!values.integer(kModelNum, row.model_num)) {
        row.model_num = 1;
    }
    return std::nullopt;
}

// Keeps the rows of model 1 that are not water, and builds the structure from them.
class AtomSiteSelection {
public:
    explicit AtomSiteSelection(ResidueRules rules) : residues_(AmideHydrogenRule::last_of_h_hn, rules) {}
    void add(const AtomSiteRow& row) {
        if (row.model_num == 1 && !is_water(row.atom.res_name)) {
            residues_.add(row.atom);
        }
    }
    ReadResult build() { return residues_.build(); }

private:
    ResidueCollector residues_;
};

// Keeps the rows that are not water, one model per distinct model number in order of first
// appearance, and hands each model's structure to a visitor. A number may come back after other
// models, so no model is complete before the table ends: the rows are kept as compact copies
// (a model costs what its rows cost, nothing more) and each model is gathered only when visited.
class ModelSelection {
public:
    explicit ModelSelection(ResidueRules rules) : rules_(rules) {}
    void add(const AtomSiteRow& row) {
        if (models_.empty() || models_[last_].number != row.model_num) {
            const auto [found, added] = places_.try_emplace(row.model_num, static_cast<std::uint32_t>(models_.size()));
            if (added) {
                models_.push_back(Model{row.model_num, kNoRow, kNoRow});
            }
            last_ = found->second;
        }
        if (is_water(row.atom.res_name)) return;
        Model& model = models_[last_];
        const std::size_t index = rows_.size();
        rows_.push_back(stored(row.atom));
        if (model.last_row == kNoRow) {
            model.first_row = index;
        } else {
            rows_[model.last_row].next = index;
        }
        model.last_row = index;
    }

    // Builds the models in order, each let go of once visited.
    void visit_all(const ModelVisitor& visit) {
        for (const Model& model : models_) {
            ResidueCollector residues(AmideHydrogenRule::last_of_h_hn, rules_);
            for (std::size_t index = model.first_row; index != kNoRow; index = rows_[index].next) {
                residues.add(atom_of(rows_[index]));
            }
            visit(model.number, residues.build());
        }
    }

private:
    static constexpr std::size_t kNoRow = SIZE_MAX;
    static constexpr std::size_t kTexts = 5;  // atom name, residue name, chain, insertion code, alternate location

    struct StoredRow {
        std::size_t text = 0;  // where the row's texts start in text_, one after another
        std::array<std::uint32_t, kTexts> lengths{};
        std::int32_t seq_id = 0;
        core::Point3 position;
        std::size_t next = kNoRow;  // the model's next row
    };

    struct Model {
        std::int32_t number;
        std::size_t first_row;
        std::size_t last_row;
    };

    StoredRow stored(const AtomRecord& atom) {
        StoredRow row;
        row.text = text_.size();
        const std::array<std::string_view, kTexts> texts = {atom.atom_name, atom.res_name, atom.chain_id,
                                                            atom.ins_code, atom.alt_loc};
        for (std::size_t k = 0; k < kTexts; ++k) {
            row.lengths[k] = static_cast<std::uint32_t>(texts[k].size());
            text_.append(texts[k]);
        }
        row.seq_id = atom.seq_id;
        row.position = atom.position;
        return row;
    }

    AtomRecord atom_of(const StoredRow& row) const {
        std::array<std::string_view, kTexts> texts;
        std::size_t at = row.text;
        for (std::size_t k = 0; k < kTexts; ++k) {
            texts[k] = std::string_view(text_).substr(at, row.lengths[k]);
            at += row.lengths[k];
        }
        AtomRecord atom;
        atom.atom_name = texts[0];
        atom.res_name = texts[1];
        atom.chain_id = texts[2];
        atom.ins_code = texts[3];
        atom.alt_loc = texts[4];
        atom.seq_id = row.seq_id;
        atom.position = row.position;
        return atom;
    }

    ResidueRules rules_;
    std::vector<Model> models_;
    std::unordered_map<std::int32_t, std::uint32_t> places_;  // a model number's place in models_
    std::uint32_t last_ = 0;  // rows of one model usually follow one another
    std::vector<StoredRow> rows_;
    std::string text_;
};

// A reader's two entries over its row loop, `read_rows(take)`, which hands every row to `take`
// and returns the failure, if any: model 1's structure, or every model's handed to `visit`.
template <class ReadRows>
ReadResult read_first_model(ReadRows read_rows, ResidueRules rules) {
    AtomSiteSelection selection(rules);
    if (auto error = read_rows([&](const AtomSiteRow& row) { selection.add(row); })) return std::move(*error);
    return selection.build();
}

template <class ReadRows>
std::optional<InputError> read_every_model(ReadRows read_rows, const ModelVisitor& visit, ResidueRules rules) {
    ModelSelection models(rules);
    if (auto error = read_rows([&](const AtomSiteRow& row) { models.add(row); })) return error;
    models.visit_all(visit);
    return std::nullopt;
}

}  // namespace tarnix::io
