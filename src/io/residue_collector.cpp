#include "io/residue_collector.hpp"

#include <utility>

#include "core/hashing.hpp"
#include "io/residue_names.hpp"

namespace tarnix::io {

bool accept_alternate_location(PendingResidue& residue, std::string_view alt_loc) {
    if (alt_loc.empty()) {
        return true;
    }
    if (residue.alt_loc.empty()) {
        residue.alt_loc = alt_loc;
        return true;
    }
    return alt_loc == residue.alt_loc;
}

void place_atom(PendingResidue& residue, std::string_view name, const core::Point3& position,
                AmideHydrogenRule rule) {
    const auto set_amide_hydrogen = [&] {
        if (rule == AmideHydrogenRule::last_of_h_hn || !residue.h) {
            residue.h = position;
        }
    };
    // Dispatch on the length first: most names are not slot names, and most are 1-3 bytes.
    switch (name.size()) {
        case 1:
            switch (name[0]) {
                case 'N': residue.n = position; return;
                case 'C': residue.c = position; return;
                case 'O': if (!residue.o) residue.o = position; return;
                case 'H': set_amide_hydrogen(); return;
                default: break;
            }
            break;
        case 2:
            if (name == "CA") {
                residue.ca = position;
                return;
            }
            if (name == "HN") {
                set_amide_hydrogen();
                return;
            }
            if (name == "H1" && rule == AmideHydrogenRule::first_of_h_hn_h1) {
                if (!residue.h) residue.h = position;
                return;
            }
            break;
        case 3:
            if (name == "OXT") {
                if (!residue.o) residue.o = position;
                return;
            }
            break;
        default:
            break;
    }
    if (!name.starts_with('H')) {
        residue.atoms.push_back(core::Atom{std::string(name), position});
    }
}

std::size_t ResidueCollector::KeyHash::operator()(const KeyView& key) const {
    return core::Hasher()
        .add_bytes(key.chain_id)
        .add(static_cast<std::uint32_t>(key.seq_id))
        .add_bytes(key.ins_code)
        .value();
}

PendingResidue& ResidueCollector::residue(std::string_view chain_id, std::int32_t seq_id,
                                          std::string_view ins_code, std::string_view res_name) {
    // The number first: it is the cheapest part to compare and the one that changes.
    if (last_ != nullptr && last_->seq_id == seq_id && last_->chain_id == chain_id && last_->ins_code == ins_code) {
        return last_->residue;
    }
    const KeyView key{chain_id, seq_id, ins_code};
    if (const auto found = index_.find(key); found != index_.end()) {
        last_ = &entries_[found->second];
        return last_->residue;
    }
    Entry& entry = entries_.emplace_back();
    entry.chain_id = chain_id;
    entry.seq_id = seq_id;
    entry.ins_code = ins_code;
    entry.residue.res_name = res_name;
    index_.emplace(entry.key(), entries_.size() - 1);
    last_ = &entry;
    return entry.residue;
}

std::variant<core::Structure, InputError> ResidueCollector::build() {
    core::Structure structure;
    const auto has_backbone = [](const PendingResidue& pending) {
        return pending.n && pending.ca && pending.c && pending.o;
    };
    std::size_t kept = 0;
    for (const Entry& entry : entries_) {
        kept += has_backbone(entry.residue) ? 1 : 0;
    }
    structure.residues.reserve(kept);
    for (Entry& entry : entries_) {
        PendingResidue& pending = entry.residue;
        if (!has_backbone(pending)) {
            continue;
        }
        core::Residue& residue = structure.residues.emplace_back();
        residue.n = *pending.n;
        residue.ca = *pending.ca;
        residue.c = *pending.c;
        residue.o = *pending.o;
        residue.h = pending.h;
        residue.atoms = std::move(pending.atoms);
        residue.chain_id = std::move(entry.chain_id);
        residue.seq_id = entry.seq_id;
        residue.ins_code = std::move(entry.ins_code);
        residue.amino_acid = one_letter_code(pending.res_name);
        residue.res_name = std::move(pending.res_name);
    }
    // The moves above emptied the strings the map's keys view.
    index_.clear();
    entries_.clear();
    last_ = nullptr;
    if (structure.residues.empty()) {
        return InputError::empty();
    }
    core::number_and_group(structure);
    return structure;
}

}  // namespace tarnix::io

