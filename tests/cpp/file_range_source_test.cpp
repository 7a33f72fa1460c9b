#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "io/byte_source.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

FileDescriptor open_file(const std::string& path) { return FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC)); }

// Everything the source gives in pieces of `piece` bytes, or the error number it fails with.
std::variant<std::string, int> drain(ByteSource& source, std::size_t piece) {
    std::string out;
    std::string buffer(piece, '\0');
    for (;;) {
        auto outcome = source.read(buffer.data(), buffer.size());
        if (auto* error = std::get_if<IoError>(&outcome)) return error->message() == os_error_text(EIO) ? EIO : -1;
        const std::size_t count = std::get<std::size_t>(outcome);
        if (count == 0) return out;
        out.append(buffer, 0, count);
    }
}

TEST(FileRangeSource, ReadsExactlyItsRangeWhateverThePieces) {
    std::string bytes;
    for (int i = 0; i < 3000; ++i) bytes += static_cast<char>('a' + i % 26);
    const testing::TempDir folder;
    const std::string file = folder.write("bytes", bytes);
    for (const std::size_t piece : {1, 7, 512, 4096}) {
        for (const auto& [offset, length] : {std::pair{0, 3000}, {512, 1000}, {2999, 1}, {100, 0}, {3000, 0}}) {
            FileRangeSource source(open_file(file), offset, length);
            EXPECT_EQ(drain(source, piece), (std::variant<std::string, int>(bytes.substr(offset, length))))
                << piece << " " << offset << " " << length;
        }
    }
}

TEST(FileRangeSource, AFileShorterThanItsRangeIsAnError) {
    const testing::TempDir folder;
    const std::string file = folder.write("bytes", std::string(1000, 'x'));
    FileRangeSource source(open_file(file), 900, 200);
    EXPECT_EQ(drain(source, 64), (std::variant<std::string, int>(EIO)));
    FileRangeSource beyond(open_file(file), 5000, 10);
    EXPECT_EQ(drain(beyond, 64), (std::variant<std::string, int>(EIO)));
}

}  // namespace
}  // namespace tarnix::io
