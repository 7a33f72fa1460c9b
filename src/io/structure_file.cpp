#include "io/structure_file.hpp"

#include <cerrno>
#include <fcntl.h>

#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/input_error.hpp"
#include "io/readers.hpp"
#include "io/text.hpp"

namespace tarnix::io {
namespace {

bool ends_with_ignoring_ascii_case(std::string_view text, std::string_view lower_suffix) {
    return text.size() >= lower_suffix.size() &&
           equals_ignoring_ascii_case(text.substr(text.size() - lower_suffix.size()), lower_suffix);
}

}  // namespace

// The decision needs the whole path lower-cased with full Unicode rules, yet lower-casing the
// ASCII letters of its tail decides the same. Only two non-ASCII code points lower-case to
// something holding ASCII: U+0130 to "i" followed by U+0307, whose last character is not ASCII,
// and U+212A to "k", which no suffix contains. So a lower-cased path ends in ".cif" or ".mmcif"
// exactly when the original path ends in those ASCII characters in any case.
FileFormat format_for_path(std::string_view path) {
    if (ends_with_ignoring_ascii_case(path, ".cif") || ends_with_ignoring_ascii_case(path, ".mmcif")) {
        return FileFormat::mmcif;
    }
    return FileFormat::pdb;
}

std::variant<FileDescriptor, ReadFailure> open_structure_file(std::string_view path, Interruption* interruption) {
    if (path.find('\0') != std::string_view::npos) {
        return ReadFailure{"file name contained an unexpected NUL byte"};
    }
    const std::string name(path);
    int fd = -1;
    for (;;) {
        if (interruption != nullptr && interruption->stop_requested()) return ReadFailure{os_error_text(EINTR), true};
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 || errno != EINTR) break;
    }
    if (fd < 0) {
        return ReadFailure{os_error_text(errno)};
    }
    return FileDescriptor(fd);
}

std::variant<core::Structure, ReadFailure> read_structure_file(std::string_view path, Interruption* interruption) {
    auto opened = open_structure_file(path, interruption);
    if (auto* failure = std::get_if<ReadFailure>(&opened)) return std::move(*failure);
    FileSource source(std::move(std::get<FileDescriptor>(opened)), interruption);
    ReadResult result = format_for_path(path) == FileFormat::mmcif ? parse_mmcif(source) : parse_pdb(source);
    source.close();
    if (interruption != nullptr && interruption->stopped()) {
        return ReadFailure{os_error_text(EINTR), true};
    }
    if (auto* error = std::get_if<InputError>(&result)) {
        return ReadFailure{error->message()};
    }
    return std::move(std::get<core::Structure>(result));
}

}  // namespace tarnix::io
