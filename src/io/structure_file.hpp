// The one entry through which the Python layer reads a structure file.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "core/structure.hpp"
#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"

namespace tarnix::io {

enum class FileFormat { pdb, mmcif };

// mmCIF for names ending in ".cif" or ".mmcif" in any letter case, PDB for all others.
FileFormat format_for_path(std::string_view path);

// The message Python raises as ValueError, unless the interruption stopped the reading.
struct ReadFailure {
    std::string message;
    bool interrupted = false;
};

// Opens path read-only (its bytes are the file name): the open file, or the failure as text. A
// blocking open (a pipe without a writer, say) goes on until the interruption, if any, asks to stop.
std::variant<FileDescriptor, ReadFailure> open_structure_file(std::string_view path,
                                                              Interruption* interruption = nullptr);

// Opens path read-only (its UTF-8 bytes are the file name), picks the reader by the name and
// returns the Structure, or the open failure or reader error as text. A blocking open or read
// (a pipe without a writer, say) goes on until the interruption, if any, asks to stop.
std::variant<core::Structure, ReadFailure> read_structure_file(std::string_view path,
                                                              Interruption* interruption = nullptr);

}  // namespace tarnix::io
