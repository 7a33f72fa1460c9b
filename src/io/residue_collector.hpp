// Residues as the readers gather them, by (chain, sequence number, insertion code), and turned
// into a Structure once reading is done.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/structure.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

// One atom as a reader found it. The views live until the next call of the reader's source.
struct AtomRecord {
    std::string_view atom_name;
    std::string_view res_name;
    std::string_view chain_id;
    std::int32_t seq_id = 0;
    std::string_view ins_code;
    std::string_view alt_loc;  // empty when the atom has none
    core::Point3 position;
};

// Which atom names give the amide hydrogen, and whether the first or the last one counts.
enum class AmideHydrogenRule : std::uint8_t {
    first_of_h_hn_h1,  // PDB
    last_of_h_hn,      // mmCIF
};

// How atoms become residues and chains.
enum class ResidueRules : std::uint8_t {
    // The tarnix module's reading: atoms with equal keys are one residue wherever they stand, kept
    // in order of first appearance, and chains are the runs of equal chain ids.
    merged_keys,
    // As the file gives them: a residue is a run of consecutive atoms with one key, so a key met
    // again after other residues starts another residue. Where chain ids are absent (blank, ".",
    // "?"), a chain end (TER) or a residue numbered lower than the one before, or a repeat of the
    // residue before, starts another chain; when a model holds more than one such chain, each is
    // named by its place among the model's chains ("1", "2", ...). Force-field variants of the
    // standard residues take their parent's one-letter code.
    as_written,
};

// An append-only list in fixed chunks: growing never moves what is stored, and no single block
// is large enough to be mapped and unmapped fresh for every file.
template <class T, std::size_t kChunk>
class ChunkedList {
public:
    T& emplace_back() {
        if (size_ % kChunk == 0) {
            chunks_.push_back(std::make_unique_for_overwrite<T[]>(kChunk));
        }
        ++size_;
        return back();
    }
    T& back() { return (*this)[size_ - 1]; }
    T& operator[](std::size_t i) { return chunks_[i / kChunk][i % kChunk]; }
    std::size_t size() const { return size_; }

    // Visits every element in order, freeing each chunk once visited; leaves the list empty.
    template <class Visit>
    void drain(Visit visit) {
        for (std::size_t chunk = 0; chunk < chunks_.size(); ++chunk) {
            const std::size_t count = std::min(kChunk, size_ - chunk * kChunk);
            for (std::size_t i = 0; i < count; ++i) {
                visit(chunks_[chunk][i]);
            }
            chunks_[chunk].reset();
        }
        chunks_.clear();
        size_ = 0;
    }

private:
    std::vector<std::unique_ptr<T[]>> chunks_;
    std::size_t size_ = 0;
};

class ResidueCollector {
public:
    explicit ResidueCollector(AmideHydrogenRule rule, ResidueRules rules = ResidueRules::merged_keys)
        : rule_(rule), rules_(rules) {}
    ResidueCollector(const ResidueCollector&) = delete;
    ResidueCollector& operator=(const ResidueCollector&) = delete;

    // Finds or creates the atom's residue (named after the atom that creates it), then keeps the
    // atom if its alternate location is empty or the residue's choice (the first non-empty
    // location met in a residue becomes its choice), and places it by name.
    void add(const AtomRecord& atom);

    // A chain ends here (a TER record): under as_written, the next atom starts a residue, and a
    // chain when chain ids are absent.
    void end_chain();

    // Residues with N, CA, C and O in order of first appearance; Empty when no atom was added,
    // NoProtein when atoms were added but no residue is complete.
    // Moves the collected atoms out: call it once.
    std::variant<core::Structure, InputError> build();

private:
    struct PendingResidue {
        std::string chain_id;
        std::int32_t seq_id = 0;
        std::string ins_code;
        std::size_t hash = 0;
        std::string res_name;
        std::string alt_loc;
        std::optional<core::Point3> n;
        std::optional<core::Point3> ca;
        std::optional<core::Point3> c;
        std::optional<core::Point3> o;
        std::optional<core::Point3> h;
        std::uint32_t atom_count = 0;  // entries in atoms_
        std::uint32_t chain_ends = 0;  // end_chain calls before the residue began
    };

    std::uint32_t find_or_create(const AtomRecord& atom);
    std::uint32_t create(const AtomRecord& atom, std::size_t hash);
    char code_of(std::string_view res_name) const;
    void name_chains_without_ids(core::Structure& structure, const std::vector<std::uint32_t>& placement);
    void place(std::uint32_t index, std::string_view name, const core::Point3& position);
    void grow_slots();

    AmideHydrogenRule rule_;
    ResidueRules rules_;
    std::uint32_t chain_ends_ = 0;
    ChunkedList<PendingResidue, 256> residues_;
    // The kept non-backbone atoms of all residues in reading order, each with its residue: one
    // growing list instead of a growing list per residue.
    ChunkedList<std::pair<std::uint32_t, core::Atom>, 1024> atoms_;
    // Open addressing over residues_: index + 1, or 0 for an empty slot; at most half full.
    std::vector<std::uint32_t> slots_;
    std::uint32_t last_ = kNone;  // consecutive atoms usually share a residue
    static constexpr std::uint32_t kNone = UINT32_MAX;
};

}  // namespace tarnix::io
