#include <gtest/gtest.h>

#include <fcntl.h>

#include <string>
#include <vector>

#include "io/file_descriptor.hpp"
#include "io/line_reader.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

struct Lines {
    std::vector<std::string> lines;
    std::optional<IoError> error;
};

Lines read_lines(const std::string& path) {
    FileSource source(FileDescriptor(::open(path.c_str(), O_RDONLY)));
    LineReader reader(source);
    Lines result;
    while (const auto line = reader.next()) {
        result.lines.emplace_back(*line);
    }
    result.error = reader.error();
    return result;
}

TEST(LineReader, SplitsLinesAndStripsOneCarriageReturnBeforeTheNewline) {
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
        const Lines read = read_lines(dir.write("lines.txt", content));
        EXPECT_FALSE(read.error.has_value());
        EXPECT_EQ(read.lines, expected) << content.substr(0, 40);
    }
}

TEST(LineReader, StopsAtTheFirstLineThatIsNotUtf8) {
    testing::TempDir dir;
    const Lines read = read_lines(dir.write("bad.txt", "good\nbad \xC3\x28 line\nnever\n"));
    EXPECT_EQ(read.lines, std::vector<std::string>{"good"});
    ASSERT_TRUE(read.error.has_value());
    EXPECT_EQ(read.error->message(), "stream did not contain valid UTF-8");
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
