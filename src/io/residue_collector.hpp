// Residues as both readers gather them: looked up by (chain, sequence number, insertion code),
// kept in order of first appearance, and turned into a Structure once reading is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/structure.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

struct PendingResidue {
    std::string res_name;
    std::string alt_loc;  // the chosen alternate location; empty until one is met
    std::optional<core::Point3> n;
    std::optional<core::Point3> ca;
    std::optional<core::Point3> c;
    std::optional<core::Point3> o;
    std::optional<core::Point3> h;
    std::vector<core::Atom> atoms;
};

// Accepts an atom with no alternate location, or with the residue's chosen one; the first
// non-empty location met in a residue becomes its choice.
bool accept_alternate_location(PendingResidue& residue, std::string_view alt_loc);

// Which atom names give the amide hydrogen, and whether the first or the last one counts.
enum class AmideHydrogenRule : std::uint8_t {
    first_of_h_hn_h1,  // PDB
    last_of_h_hn,      // mmCIF
};

// Puts an accepted atom into its backbone slot, drops other hydrogens, and keeps every other
// atom (an empty name included) in reading order. An O slot already filled stays as it is.
void place_atom(PendingResidue& residue, std::string_view name, const core::Point3& position,
                AmideHydrogenRule rule);

class ResidueCollector {
public:
    ResidueCollector() = default;
    ResidueCollector(const ResidueCollector&) = delete;
    ResidueCollector& operator=(const ResidueCollector&) = delete;

    // The residue with this key, created with res_name when the key is new.
    PendingResidue& residue(std::string_view chain_id, std::int32_t seq_id, std::string_view ins_code,
                            std::string_view res_name);

    // Residues with N, CA, C and O in order of first appearance, or Empty when there are none.
    std::variant<core::Structure, InputError> build();

private:
    struct KeyView {
        std::string_view chain_id;
        std::int32_t seq_id;
        std::string_view ins_code;

        bool operator==(const KeyView&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const KeyView& key) const;
    };
    struct Entry {
        std::string chain_id;
        std::int32_t seq_id;
        std::string ins_code;
        PendingResidue residue;

        KeyView key() const { return {chain_id, seq_id, ins_code}; }
    };

    // A deque keeps entries in place, so the map's keys may view their strings.
    std::deque<Entry> entries_;
    std::unordered_map<KeyView, std::size_t, KeyHash> index_;
    Entry* last_ = nullptr;  // consecutive atom lines usually share a residue
};

}  // namespace tarnix::io
