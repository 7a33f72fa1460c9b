// How the `tarnix` module reads a structure file: open it, let its name pick the reader, read.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "core/structure.hpp"
#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/formats.hpp"

namespace tarnix::io {

// The message Python raises as ValueError, unless the interruption stopped the reading.
struct ReadFailure {
    std::string message;
    bool interrupted = false;
};

// Opens path read-only (its bytes are the file name): the open file, or the failure as text. A
// blocking open (a pipe without a writer, say) goes on until the interruption, if any, asks to stop.
// With `regular_only` (a file found by a walk: what is there now may be a FIFO or a device swapped
// in since) the open never blocks and anything but a regular file fails as "not a regular file".
std::variant<FileDescriptor, ReadFailure> open_structure_file(std::string_view path,
                                                              Interruption* interruption = nullptr,
                                                              bool regular_only = false);

// Opens path read-only (its UTF-8 bytes are the file name), picks the reader by the name
// (module_format_for_path) and returns the Structure, or the open failure or reader error as
// text. A blocking open or read
// (a pipe without a writer, say) goes on until the interruption, if any, asks to stop.
std::variant<core::Structure, ReadFailure> read_structure_file(std::string_view path,
                                                               Interruption* interruption = nullptr);

}  // namespace tarnix::io
