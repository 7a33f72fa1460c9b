#include "io/structure_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>

#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/formats.hpp"
#include "io/input_error.hpp"

namespace tarnix::io {

namespace {

// What was opened without blocking, made blocking again when it is a regular file.
std::variant<FileDescriptor, ReadFailure> keep_if_regular(FileDescriptor file) {
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) return ReadFailure{os_error_text(errno)};
    if (!S_ISREG(status.st_mode)) return ReadFailure{"not a regular file"};
    const int flags = ::fcntl(file.get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return ReadFailure{os_error_text(errno)};
    return file;
}

}  // namespace

std::variant<FileDescriptor, ReadFailure> open_structure_file(std::string_view path, Interruption* interruption,
                                                              bool regular_only) {
    if (path.find('\0') != std::string_view::npos) {
        return ReadFailure{"file name contained an unexpected NUL byte"};
    }
    const std::string name(path);
    int fd = -1;
    for (;;) {
        if (interruption != nullptr && interruption->stop_requested()) return ReadFailure{os_error_text(EINTR), true};
        fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
        if (fd >= 0 || errno != EINTR) break;
    }
    if (fd < 0) {
        return ReadFailure{os_error_text(errno)};
    }
    if (regular_only) return keep_if_regular(FileDescriptor(fd));
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
