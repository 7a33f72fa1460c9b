#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "io/file_descriptor.hpp"
#include "io/line_reader.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

struct Lines {
    std::vector<std::string> lines;
    std::vector<bool> ascii;  // line_is_ascii() after each line
    std::optional<IoError> error;
};

Lines read_all(ByteSource& source) {
    LineReader reader(source);
    Lines result;
    while (const auto line = reader.next()) {
        result.lines.emplace_back(*line);
        result.ascii.push_back(reader.line_is_ascii());
    }
    result.error = reader.error();
    return result;
}

// Through the buffer (a file), or in place (the same bytes held in memory); the same lines,
// ASCII flags and errors either way.
enum class Mode { buffered, in_place };

Lines read_lines(const std::string& path, Mode mode = Mode::buffered) {
    if (mode == Mode::buffered) {
        FileSource source(FileDescriptor(::open(path.c_str(), O_RDONLY)));
        return read_all(source);
    }
    std::ifstream in(path, std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(in), {});
    MemorySource source(bytes);
    return read_all(source);
}

class LineReaderModes : public ::testing::TestWithParam<Mode> {};

INSTANTIATE_TEST_SUITE_P(BufferedAndInPlace, LineReaderModes, ::testing::Values(Mode::buffered, Mode::in_place));

TEST_P(LineReaderModes, SplitsLinesAndStripsOneCarriageReturnBeforeTheNewline) {
    const std::string wide(LineReader::kBufferSize * 2 + 17, 'w');
    const std::string straddling(LineReader::kBufferSize - 1, 's');  // its "\r\n" crosses the buffer end
    const std::string accent = std::string(LineReader::kBufferSize - 1, 'a') + "\u00E9\u4E2D";
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"", {}},
        {"one", {"one"}},
        {"one\ntwo", {"one", "two"}},
        {"one\r\ntwo\r\n", {"one", "two"}},
        {"one\r\r\n", {"one\r"}},
        {"last\r", {"last\r"}},
        {"\n\r\n\n", {"", "", ""}},
        {"mid\rdle\n", {"mid\rdle"}},
        {wide + "\nshort\n" + wide, {wide, "short", wide}},
        {straddling + "\r\nnext", {straddling, "next"}},
        {accent + "\n", {accent}},
    };
    testing::TempDir dir;
    for (const auto& [content, expected] : cases) {
        const Lines read = read_lines(dir.write("lines.txt", content), GetParam());
        EXPECT_FALSE(read.error.has_value());
        EXPECT_EQ(read.lines, expected) << content.substr(0, 40);
    }
}

TEST_P(LineReaderModes, StopsAtTheFirstLineThatIsNotUtf8) {
    testing::TempDir dir;
    const Lines read = read_lines(dir.write("bad.txt", "good\nbad \xC3\x28 line\nnever\n"), GetParam());
    EXPECT_EQ(read.lines, std::vector<std::string>{"good"});
    ASSERT_TRUE(read.error.has_value());
    EXPECT_EQ(read.error->message(), "stream did not contain valid UTF-8");
}

// Bytes are checked for ASCII a block at a time; a character placed anywhere relative to the
// blocks and the buffer must still be validated with its own line, and no other line be held
// back or called non-ASCII.
TEST_P(LineReaderModes, ValidatesEachLineWhereverItsCharactersFallInTheBuffer) {
    constexpr std::size_t kLineLength = 80;
    constexpr std::size_t kBuffer = LineReader::kBufferSize;
    constexpr std::size_t kLines = (2 * kBuffer + 400) / (kLineLength + 1);  // past the second refill
    const std::size_t positions[] = {0,
                                     1,
                                     31,
                                     63,
                                     64,
                                     65,
                                     127,
                                     4095,
                                     kBuffer - 2,
                                     kBuffer - 1,
                                     kBuffer,
                                     kBuffer + 1,
                                     kBuffer + 8,
                                     2 * kBuffer - 1,
                                     2 * kBuffer + 1,
                                     kLines * (kLineLength + 1) - 3};
    testing::TempDir dir;
    for (const std::size_t position : positions) {
        std::string text;
        for (std::size_t i = 0; i < kLines; ++i) {
            text += std::string(kLineLength, static_cast<char>('a' + i % 26)) + "\n";
        }
        const std::size_t target = position / (kLineLength + 1);
        const std::size_t column = std::min(position % (kLineLength + 1), kLineLength - 2);
        std::string good = text;
        good.replace(target * (kLineLength + 1) + column, 2, "\u00E9");
        const Lines read = read_lines(dir.write("good.txt", good), GetParam());
        ASSERT_FALSE(read.error.has_value()) << position;
        ASSERT_EQ(read.lines.size(), kLines) << position;
        for (std::size_t i = 0; i < kLines; ++i) {
            EXPECT_EQ(read.lines[i], good.substr(i * (kLineLength + 1), kLineLength)) << position;
            // A line read whole from the buffer is known ASCII unless it holds the character.
            EXPECT_EQ(read.ascii[i], i != target) << position << " line " << i;
        }
        std::string bad = text;
        bad[target * (kLineLength + 1) + column] = '\xFF';
        const Lines failed = read_lines(dir.write("bad.txt", bad), GetParam());
        EXPECT_EQ(failed.lines.size(), target) << position;
        ASSERT_TRUE(failed.error.has_value()) << position;
        EXPECT_EQ(failed.error->message(), "stream did not contain valid UTF-8");
    }
}

TEST(LineReader, ReportsReadFailuresAsOsErrors) {
    testing::TempDir dir;
    const Lines read = read_lines(dir.path().string());
    EXPECT_TRUE(read.lines.empty());
    ASSERT_TRUE(read.error.has_value());
    EXPECT_EQ(read.error->os_code(), 21);
    EXPECT_EQ(read.error->message(), os_error_text(21));
    EXPECT_TRUE(os_error_text(21).ends_with(" (os error 21)"));
}

}  // namespace
}  // namespace tarnix::io
