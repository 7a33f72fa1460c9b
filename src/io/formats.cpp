#include "io/formats.hpp"

#include <array>

#include "io/text.hpp"

namespace tarnix::io {
namespace {

constexpr std::array<std::string_view, 2> kPdbSuffixes = {".pdb", ".ent"};
constexpr std::array<std::string_view, 2> kMmcifSuffixes = {".cif", ".mmcif"};
constexpr std::array<std::string_view, 1> kBcifSuffixes = {".bcif"};

constexpr std::array<Format, 3> kFormats = {{
    {FileFormat::pdb, "pdb", "PDB", kPdbSuffixes, true,
     [](ByteSource& source, const ReadOptions& options) {
         return options.model_number ? parse_pdb(source, *options.model_number, options.rules)
                                     : parse_pdb(source, options.rules);
     },
     parse_pdb_models},
    {FileFormat::mmcif, "mmcif", "mmCIF", kMmcifSuffixes, true,
     [](ByteSource& source, const ReadOptions& options) { return parse_mmcif(source, options.rules); },
     parse_mmcif_models},
    {FileFormat::bcif, "bcif", "BinaryCIF", kBcifSuffixes, false,
     [](ByteSource& source, const ReadOptions& options) { return parse_bcif(source, options.rules); },
     parse_bcif_models},
}};

bool ends_with_ignoring_ascii_case(std::string_view text, std::string_view lower_suffix) {
    return text.size() >= lower_suffix.size() &&
           equals_ignoring_ascii_case(text.substr(text.size() - lower_suffix.size()), lower_suffix);
}

// Whether the name, lower-cased with full Unicode rules, would end in one of the suffixes.
// Lower-casing the ASCII letters of its tail decides the same: only two non-ASCII code points
// lower-case to something holding ASCII, U+0130 to "i" followed by U+0307, whose last
// character is not ASCII, and U+212A to "k", which no suffix contains.
bool has_suffix(std::string_view name, const Format& format) {
    for (const std::string_view suffix : format.suffixes) {
        if (ends_with_ignoring_ascii_case(name, suffix)) return true;
    }
    return false;
}

}  // namespace

std::span<const Format> formats() { return kFormats; }

const Format& format_info(FileFormat format) {
    for (const Format& entry : kFormats) {
        if (entry.id == format) return entry;
    }
    return kFormats.front();
}

std::optional<FileFormat> format_named(std::string_view name) {
    for (const Format& entry : kFormats) {
        if (entry.name == name) return entry.id;
    }
    return std::nullopt;
}

FileFormat format_for_name(std::string_view name) {
    if (ends_with_ignoring_ascii_case(name, kGzipSuffix)) name.remove_suffix(kGzipSuffix.size());
    for (const Format& entry : kFormats) {
        if (has_suffix(name, entry)) return entry.id;
    }
    return kFormats.front().id;
}

FileFormat module_format_for_path(std::string_view path) {
    for (const Format& entry : kFormats) {
        if (entry.read_by_tarnix_module && has_suffix(path, entry)) return entry.id;
    }
    return FileFormat::pdb;
}

ReadResult parse(FileFormat format, ByteSource& source, const ReadOptions& options) {
    return format_info(format).parse(source, options);
}

std::optional<InputError> parse_models(FileFormat format, ByteSource& source, const ModelVisitor& visit,
                                       const ReadOptions& options) {
    return format_info(format).parse_models(source, visit, options.rules);
}

}  // namespace tarnix::io
