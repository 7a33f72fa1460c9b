// The input formats: each one's name, the file-name suffixes that ask for it and its reader.
// The engine, both extension modules and, through the companion's binding, the Python package
// and its command line take the formats from this list and from nowhere else.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "io/byte_source.hpp"
#include "io/readers.hpp"

namespace tarnix::io {

enum class FileFormat : std::uint8_t { pdb, mmcif, bcif };

struct Format {
    FileFormat id;
    std::string_view name;  // as `format=` and `--input-format` spell it
    std::string_view description;
    // Lower case; a name matches in any letter case, optionally followed by kGzipSuffix.
    std::span<const std::string_view> suffixes;
    bool read_by_tarnix_module;  // whether the `tarnix` module picks it by a file's name
    ReadResult (*parse)(ByteSource& source, const ReadOptions& options);
    // Every model of a file, in file order.
    std::optional<InputError> (*parse_models)(ByteSource& source, const ModelVisitor& visit, ResidueRules rules);
};

// Set aside before a file name's suffix picks the format; gzip is recognised by its bytes.
inline constexpr std::string_view kGzipSuffix = ".gz";

// Every format in the order names are tried; the first one reads names no suffix claims.
std::span<const Format> formats();

const Format& format_info(FileFormat format);

std::optional<FileFormat> format_named(std::string_view name);

// The format a name asks for once a trailing ".gz" is set aside (any letter case): the first
// format with a suffix that ends it, in any letter case; the first format when none does.
FileFormat format_for_name(std::string_view name);

// The `tarnix` module's own choice, which its contract fixes: among the formats it reads, the
// first with a suffix that ends the path in any letter case, no ".gz" rule; PDB otherwise.
FileFormat module_format_for_path(std::string_view path);

// Reads one structure of `format` from source.
ReadResult parse(FileFormat format, ByteSource& source, const ReadOptions& options = {});

// Reads every model of a file of `format`, handing each to `visit`; returns the failure that ends
// the whole read.
std::optional<InputError> parse_models(FileFormat format, ByteSource& source, const ModelVisitor& visit,
                                       const ReadOptions& options = {});

}  // namespace tarnix::io
