// The one entry through which the Python layer reads a structure file.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "core/structure.hpp"

namespace tarnix::io {

enum class FileFormat { pdb, mmcif };

// mmCIF for names ending in ".cif" or ".mmcif" in any letter case, PDB for all others.
FileFormat format_for_path(std::string_view path);

// The message Python raises as ValueError.
struct ReadFailure {
    std::string message;
};

// Opens path read-only (its UTF-8 bytes are the file name), picks the reader by the name and
// returns the Structure, or the open failure or reader error as text.
std::variant<core::Structure, ReadFailure> read_structure_file(std::string_view path);

}  // namespace tarnix::io
