#include "io/residue_collector.hpp"

#include "base/hashing.hpp"
#include "io/residue_names.hpp"

namespace tarnix::io {
namespace {

std::size_t key_hash(std::string_view chain_id, std::int32_t seq_id, std::string_view ins_code) {
    return base::Hasher().add_bytes(chain_id).add(static_cast<std::uint32_t>(seq_id)).add_bytes(ins_code).value();
}

// Equal texts; chain ids and insertion codes are mostly one byte or none, compared without a call.
bool is_absent_chain_id(std::string_view id) {
    return id == "." || id == "?" || id.find_first_not_of(' ') == std::string_view::npos;
}

bool same_text(const std::string& held, std::string_view text) {
    if (held.size() != text.size()) return false;
    if (text.size() <= 1) return text.empty() || held[0] == text[0];
    return std::string_view(held) == text;
}

}  // namespace

void ResidueCollector::add(const AtomRecord& atom) {
    // Consecutive atoms mostly share a residue: that one is tried here, before any lookup.
    std::uint32_t index = last_;
    if (index == kNone || residues_[index].seq_id != atom.seq_id ||
        !same_text(residues_[index].chain_id, atom.chain_id) || !same_text(residues_[index].ins_code, atom.ins_code)) {
        index = rules_ == ResidueRules::as_written ? create(atom, 0) : find_or_create(atom);
    }
    PendingResidue& residue = residues_[index];
    if (!atom.alt_loc.empty()) {
        if (residue.alt_loc.empty()) {
            residue.alt_loc = atom.alt_loc;
        } else if (atom.alt_loc != residue.alt_loc) {
            return;
        }
    }
    place(index, atom.atom_name, atom.position);
}

std::uint32_t ResidueCollector::find_or_create(const AtomRecord& atom) {
    // The number first: it is the cheapest part to compare and the one that changes.
    const auto matches = [&atom](const PendingResidue& residue) {
        return residue.seq_id == atom.seq_id && residue.chain_id == atom.chain_id && residue.ins_code == atom.ins_code;
    };
    if (last_ != kNone && matches(residues_[last_])) {
        return last_;
    }
    if ((residues_.size() + 1) * 2 > slots_.size()) {
        grow_slots();
    }
    const std::size_t hash = key_hash(atom.chain_id, atom.seq_id, atom.ins_code);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        if (slots_[slot] == 0) {
            slots_[slot] = static_cast<std::uint32_t>(residues_.size() + 1);
            return create(atom, hash);
        }
        const std::uint32_t index = slots_[slot] - 1;
        if (residues_[index].hash == hash && matches(residues_[index])) {
            last_ = index;
            return index;
        }
    }
}

std::uint32_t ResidueCollector::create(const AtomRecord& atom, std::size_t hash) {
    PendingResidue& residue = residues_.emplace_back();
    residue.chain_id = atom.chain_id;
    residue.seq_id = atom.seq_id;
    residue.ins_code = atom.ins_code;
    residue.hash = hash;
    residue.res_name = atom.res_name;
    residue.chain_ends = chain_ends_;
    last_ = static_cast<std::uint32_t>(residues_.size() - 1);
    return last_;
}

void ResidueCollector::end_chain() {
    if (rules_ != ResidueRules::as_written) return;
    ++chain_ends_;
    last_ = kNone;
}

void ResidueCollector::grow_slots() {
    slots_.assign(slots_.empty() ? 256 : slots_.size() * 2, 0);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t index = 0; index < residues_.size(); ++index) {
        std::size_t slot = residues_[index].hash & mask;
        while (slots_[slot] != 0) {
            slot = (slot + 1) & mask;
        }
        slots_[slot] = static_cast<std::uint32_t>(index + 1);
    }
}

// Puts an accepted atom into its backbone slot, drops other hydrogens, and keeps every other
// atom (an empty name included) in reading order. An O slot already filled stays as it is.
void ResidueCollector::place(std::uint32_t index, std::string_view name, const core::Point3& position) {
    PendingResidue& residue = residues_[index];
    const auto set_amide_hydrogen = [&] {
        if (rule_ == AmideHydrogenRule::last_of_h_hn || !residue.h) {
            residue.h = position;
        }
    };
    // Dispatch on the length first: most names are not slot names, and most are 1-3 bytes.
    switch (name.size()) {
        case 1:
            switch (name[0]) {
                case 'N': residue.n = position; return;
                case 'C': residue.c = position; return;
                case 'O':
                    if (!residue.o) residue.o = position;
                    return;
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
            if (name == "H1" && rule_ == AmideHydrogenRule::first_of_h_hn_h1) {
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
        default: break;
    }
    if (!name.starts_with('H')) {
        auto& [owner, atom] = atoms_.emplace_back();
        owner = index;
        atom.name = name;
        atom.position = position;
        ++residue.atom_count;
    }
}

std::variant<core::Structure, InputError> ResidueCollector::build() {
    constexpr std::uint32_t kDropped = UINT32_MAX;
    // Where each pending residue goes in the structure, if it has N, CA, C and O.
    std::vector<std::uint32_t> placement(residues_.size(), kDropped);
    std::uint32_t kept = 0;
    for (std::size_t index = 0; index < residues_.size(); ++index) {
        PendingResidue& pending = residues_[index];
        if (pending.n && pending.ca && pending.c && pending.o) {
            placement[index] = kept++;
        }
    }
    if (kept == 0) {
        return residues_.size() == 0 ? InputError::empty() : InputError::no_protein();
    }
    core::Structure structure;
    structure.residues.resize(kept);
    for (std::size_t index = 0; index < residues_.size(); ++index) {
        if (placement[index] == kDropped) {
            continue;
        }
        PendingResidue& pending = residues_[index];
        core::Residue& residue = structure.residues[placement[index]];
        residue.n = *pending.n;
        residue.ca = *pending.ca;
        residue.c = *pending.c;
        residue.o = *pending.o;
        residue.h = pending.h;
        residue.chain_id = std::move(pending.chain_id);
        residue.seq_id = pending.seq_id;
        residue.ins_code = std::move(pending.ins_code);
        residue.amino_acid = code_of(pending.res_name);
        residue.res_name = std::move(pending.res_name);
    }
    // Freed as they are moved, so that the atoms are not held twice over.
    atoms_.drain([&](std::pair<std::uint32_t, core::Atom>& entry) {
        if (placement[entry.first] != kDropped) {
            std::vector<core::Atom>& atoms = structure.residues[placement[entry.first]].atoms;
            if (atoms.empty()) {
                atoms.reserve(residues_[entry.first].atom_count);
            }
            atoms.push_back(std::move(entry.second));
        }
    });
    if (rules_ == ResidueRules::as_written) name_chains_without_ids(structure, placement);
    core::number_and_group(structure);
    return structure;
}

char ResidueCollector::code_of(std::string_view res_name) const {
    return rules_ == ResidueRules::as_written ? residue_code(res_name) : one_letter_code(res_name);
}

// Chains are told apart by their ids; where a file gives none, by where it ends a chain or starts
// its numbering again. Such chains, when a model has more than one, are named by their ordinal so
// that the tables and the core (which groups chains by id) keep them apart.
void ResidueCollector::name_chains_without_ids(core::Structure& structure,
                                               const std::vector<std::uint32_t>& placement) {
    std::vector<std::uint32_t> chain_ends(structure.residues.size());
    for (std::size_t index = 0; index < placement.size(); ++index) {
        if (placement[index] != UINT32_MAX) chain_ends[placement[index]] = residues_[index].chain_ends;
    }
    auto& residues = structure.residues;
    // Each chain's first residue, and whether it is without id.
    std::vector<std::pair<std::size_t, bool>> starts;
    for (std::size_t i = 0; i < residues.size(); ++i) {
        const core::Residue& residue = residues[i];
        const bool absent = is_absent_chain_id(residue.chain_id);
        bool starts_chain = i == 0 || residue.chain_id != residues[i - 1].chain_id;
        if (!starts_chain && absent) {
            const core::Residue& before = residues[i - 1];
            starts_chain = chain_ends[i] != chain_ends[i - 1] || residue.seq_id < before.seq_id ||
                           (residue.seq_id == before.seq_id && residue.ins_code == before.ins_code);
        }
        if (starts_chain) starts.emplace_back(i, absent);
    }
    const auto without_id = std::count_if(starts.begin(), starts.end(), [](const auto& start) { return start.second; });
    if (without_id < 2) return;
    for (std::size_t chain = 0; chain < starts.size(); ++chain) {
        if (!starts[chain].second) continue;
        const std::string name = std::to_string(chain + 1);
        const std::size_t end = chain + 1 < starts.size() ? starts[chain + 1].first : residues.size();
        for (std::size_t i = starts[chain].first; i < end; ++i) residues[i].chain_id = name;
    }
}

}  // namespace tarnix::io
