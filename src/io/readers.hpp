// The structure-file readers. Given a file, each owns it and closes it before returning,
// whether it succeeds or fails; given a byte source, each reads it to its end or first failure.
#pragma once

#include <variant>

#include "core/structure.hpp"
#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

using ReadResult = std::variant<core::Structure, InputError>;

// What a reader may be asked beyond its bytes; every format's entry takes it.
struct ReadOptions {};

// Fixed-column PDB: ATOM/HETATM records up to the first line starting with "END".
ReadResult parse_pdb(ByteSource& source);
ReadResult parse_pdb(FileDescriptor file);

// mmCIF: the rows of the _atom_site loop that belong to model 1.
ReadResult parse_mmcif(ByteSource& source);
ReadResult parse_mmcif(FileDescriptor file);

// BinaryCIF: the rows of the `_atom_site` category that belong to model 1, chosen as in mmCIF.
ReadResult parse_bcif(ByteSource& source);

}  // namespace tarnix::io
