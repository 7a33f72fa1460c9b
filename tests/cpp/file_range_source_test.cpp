#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "io/byte_source.hpp"
#include "io/structure_file.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

std::shared_ptr<const FileDescriptor> open_file(const std::string& path) {
    return std::make_shared<const FileDescriptor>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

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

// An archive replaced under its name while its members are read (`mv new live.tar`): the ranges
// read the archive that was opened, never the one now at its path.
TEST(FileRangeSource, ReadsTheFileItOpenedAfterAnotherTakesItsName) {
    const testing::TempDir folder;
    const std::string live = folder.write("live.tar", std::string(600, 'a') + std::string(600, 'b'));
    const auto file = open_file(live);
    FileRangeSource first(file, 550, 100);
    const std::string replacement = folder.write("next.tar", std::string(1200, 'z'));
    ASSERT_EQ(std::rename(replacement.c_str(), live.c_str()), 0);
    FileRangeSource second(file, 0, 1200);
    EXPECT_EQ(drain(first, 64), (std::variant<std::string, int>(std::string(50, 'a') + std::string(50, 'b'))));
    EXPECT_EQ(drain(second, 512), (std::variant<std::string, int>(std::string(600, 'a') + std::string(600, 'b'))));
}

// A file found by a walk may have been swapped for a FIFO or a device since: opened for reading
// only when it is a regular file, without waiting for a FIFO's writer, and then read blocking.
TEST(OpenStructureFile, RegularOnlyRefusesWhatIsNoRegularFileWithoutBlocking) {
    const testing::TempDir folder;
    const std::string regular = folder.write("a.pdb", "REMARK\n");
    const std::string fifo = (folder.path() / "b.pdb").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, folder.path().string(), std::string("/dev/null")}) {
        auto opened = open_structure_file(path, nullptr, true);
        ASSERT_TRUE(std::holds_alternative<ReadFailure>(opened)) << path;
        EXPECT_EQ(std::get<ReadFailure>(opened).message, "not a regular file") << path;
    }
    auto opened = open_structure_file(regular, nullptr, true);
    ASSERT_TRUE(std::holds_alternative<FileDescriptor>(opened));
    const FileDescriptor& file = std::get<FileDescriptor>(opened);
    EXPECT_EQ(::fcntl(file.get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(file.regular_file_size(), std::optional<std::uint64_t>(7));
    EXPECT_TRUE(std::holds_alternative<ReadFailure>(open_structure_file(folder.path().string() + "/none", nullptr, true)));
}

}  // namespace
}  // namespace tarnix::io
