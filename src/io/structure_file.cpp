#include "io/structure_file.hpp"

#include <fcntl.h>
#include <cerrno>

#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/formats.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

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
    ReadResult result = parse(module_format_for_path(path), source);
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
