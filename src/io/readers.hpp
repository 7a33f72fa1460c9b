// The structure-file readers. Given a file, each owns it and closes it before returning,
// whether it succeeds or fails; given a byte source, each reads it to its end or first failure.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>

#include "core/structure.hpp"
#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/input_error.hpp"
#include "io/residue_collector.hpp"

namespace tarnix::io {

using ReadResult = std::variant<core::Structure, InputError>;

// What a reader may be asked beyond its bytes; every format's entry takes it.
struct ReadOptions {
    // Where a reader that numbers models puts the number of the model it read (PDB: the first
    // MODEL record before the first atom); left as it is otherwise.
    std::int32_t* model_number = nullptr;
    ResidueRules rules = ResidueRules::merged_keys;
};

// Every reader groups atoms into residues by `rules`; TER records end chains in PDB.

// Fixed-column PDB: ATOM/HETATM records up to the first line starting with "END".
ReadResult parse_pdb(ByteSource& source, ResidueRules rules = ResidueRules::merged_keys);
ReadResult parse_pdb(FileDescriptor file);
// The same, also giving the number of the first MODEL record before the first atom (1 if none).
ReadResult parse_pdb(ByteSource& source, std::int32_t& model_number, ResidueRules rules = ResidueRules::merged_keys);

// mmCIF: the rows of the _atom_site loop that belong to model 1.
ReadResult parse_mmcif(ByteSource& source, ResidueRules rules = ResidueRules::merged_keys);
ReadResult parse_mmcif(FileDescriptor file);

// Receives each model of a file in file order: its number as written and what the first-model
// reader gives for the file cut down to that model (Empty for a model without residues).
using ModelVisitor = std::function<void(std::int32_t number, ReadResult model)>;

// PDB: each model is what the first-model reader takes from where the one before it ended: the
// lines up to the next one starting with "END", whatever MODEL records lie between; ENDMDL lets
// another model follow, any other such line ends the file. So the first model is the first-model
// reader's. A model is numbered by the first MODEL record before its first atom (by its place
// when there is none or its serial does not parse). Lines after an ENDMDL that hold no ATOM,
// HETATM or MODEL record make no model. Returns the failure that ends the whole read, after which
// the models already visited are void.
std::optional<InputError> parse_pdb_models(ByteSource& source, const ModelVisitor& visit,
                                           ResidueRules rules = ResidueRules::merged_keys);

// mmCIF: one model per distinct model number, in order of first appearance, each holding every
// row of its number wherever it lies (model 1 is the first-model read). A row that cannot be
// decoded fails the whole file before any model is visited, as it fails model 1's read.
std::optional<InputError> parse_mmcif_models(ByteSource& source, const ModelVisitor& visit,
                                             ResidueRules rules = ResidueRules::merged_keys);

// BinaryCIF: the rows of the `_atom_site` category that belong to model 1, chosen as in mmCIF.
ReadResult parse_bcif(ByteSource& source, ResidueRules rules = ResidueRules::merged_keys);

// BinaryCIF: every model, as the mmCIF reader finds them.
std::optional<InputError> parse_bcif_models(ByteSource& source, const ModelVisitor& visit,
                                            ResidueRules rules = ResidueRules::merged_keys);

}  // namespace tarnix::io
