// What the reader fuzz targets do with their bytes: read them as a file of one format, from memory,
// and run the whole computation on whatever structure (or every model) comes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "core/assign.hpp"
#include "io/byte_source.hpp"
#include "io/formats.hpp"

namespace tarnix::fuzz {

inline int read_and_assign(const std::uint8_t* data, std::size_t size, io::FileFormat format) {
    io::MemorySource source(std::string_view(reinterpret_cast<const char*>(data), size));
    io::ReadResult result = io::parse(format, source);
    if (auto* structure = std::get_if<core::Structure>(&result)) {
        core::assign_structure(*structure, core::AssignOptions{});
    }
    return 0;
}

inline bool same_point(const core::Point3& a, const core::Point3& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The same residues, names and atoms, to the bit, as a reader builds them.
inline bool same_structure(const core::Structure& a, const core::Structure& b) {
    if (a.residues.size() != b.residues.size() || a.chains.size() != b.chains.size()) return false;
    for (std::size_t i = 0; i < a.residues.size(); ++i) {
        const core::Residue& x = a.residues[i];
        const core::Residue& y = b.residues[i];
        if (x.chain_id != y.chain_id || x.seq_id != y.seq_id || x.ins_code != y.ins_code ||
            x.res_name != y.res_name || !same_point(x.n, y.n) || !same_point(x.ca, y.ca) || !same_point(x.c, y.c) ||
            !same_point(x.o, y.o) || x.h.has_value() != y.h.has_value() || (x.h && !same_point(*x.h, *y.h)) ||
            x.atoms.size() != y.atoms.size() || x.break_flag != y.break_flag) {
            return false;
        }
        for (std::size_t k = 0; k < x.atoms.size(); ++k) {
            if (x.atoms[k].name != y.atoms[k].name || !same_point(x.atoms[k].position, y.atoms[k].position)) {
                return false;
            }
        }
    }
    return true;
}

inline bool same_result(const io::ReadResult& a, const io::ReadResult& b) {
    const auto* x = std::get_if<core::Structure>(&a);
    const auto* y = std::get_if<core::Structure>(&b);
    if (x && y) return same_structure(*x, *y);
    return !x && !y && std::get<io::InputError>(a).message() == std::get<io::InputError>(b).message();
}

// The same bytes read for every model, each model computed as it comes. Returns whether the
// every-model read agrees with the first-model read: when it succeeds, its model 1 (the first
// model of a PDB file; the one numbered 1 of an atom table, or Empty when there is none) is the
// first-model read's result; when it fails, so does the first-model read of an atom table.
inline bool read_every_model_and_assign(const std::uint8_t* data, std::size_t size, io::FileFormat format) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    io::MemorySource first_source(bytes);
    const io::ReadResult first = io::parse(format, first_source);
    io::MemorySource source(bytes);
    std::optional<io::ReadResult> model_one;
    bool pdb_first_seen = false;
    const auto failure = io::parse_models(format, source, [&](std::int32_t number, io::ReadResult model) {
        const bool is_model_one = format == io::FileFormat::pdb ? !std::exchange(pdb_first_seen, true) : number == 1;
        if (is_model_one && !model_one) model_one = model;
        if (auto* structure = std::get_if<core::Structure>(&model)) {
            core::assign_structure(*structure, core::AssignOptions{});
        }
    });
    if (failure) {
        return format == io::FileFormat::pdb || (std::holds_alternative<io::InputError>(first) &&
                                                 std::get<io::InputError>(first).message() == failure->message());
    }
    if (!model_one) model_one = io::ReadResult(io::InputError::empty());
    return same_result(*model_one, first);
}

}  // namespace tarnix::fuzz
