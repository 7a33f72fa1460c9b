// Times the structure readers (or a plain scan of the same bytes) over a set of files and
// prints one JSON line: bytes, seconds per pass, MB/s of the median pass, peak RSS.
//
//   tarnix_read_bench MODE PASSES FILE...
//   MODE: a format's name  its reader (pdb, mmcif, ...); a gzipped file is decompressed first,
//                        as the engine does
//         gzip          decompression alone, the text taken in place as the readers take it;
//                       the count is of decompressed bytes
//         lines         LineReader alone (its buffer, UTF-8 check)
//         unpack        read the file and unpack its MessagePack, no decoding (BinaryCIF's container)
//         scan          read() and count newlines, no checks
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <msgpack.hpp>

#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"
#include "io/line_reader.hpp"

namespace {

using tarnix::io::FileDescriptor;

bool is_gzipped(const char* path) {
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    unsigned char head[2] = {};
    return file.is_open() && ::read(file.get(), head, sizeof head) == 2 &&
           std::memcmp(head, tarnix::io::kGzipMagic, sizeof head) == 0;
}

constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 32;

// Returns a count that depends on the work done (residues or lines), or -1 on a failure.
long long run_once(std::string_view mode, const char* path) {
    FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) {
        return -1;
    }
    if (const auto format = tarnix::io::format_named(mode)) {
        tarnix::io::FileSource file_source(std::move(file));
        std::optional<tarnix::io::GzipSource> gzip;
        tarnix::io::ByteSource* source = &file_source;
        if (is_gzipped(path)) source = &gzip.emplace(file_source, kMaxBytes);
        const auto result = tarnix::io::parse(*format, *source);
        const auto* structure = std::get_if<tarnix::core::Structure>(&result);
        return structure != nullptr ? static_cast<long long>(structure->residues.size()) : -1;
    }
    if (mode == "unpack") {
        std::string bytes;
        char chunk[1 << 16];
        for (ssize_t count; (count = ::read(file.get(), chunk, sizeof chunk)) > 0;) bytes.append(chunk, count);
        std::size_t offset = 0;
        try {
            const auto handle = msgpack::unpack(bytes.data(), bytes.size(), offset,
                                                [](msgpack::type::object_type, std::size_t, void*) { return true; });
            return handle.get().type == msgpack::type::MAP ? 1 : -1;
        } catch (const msgpack::unpack_error&) {
            return -1;
        }
    }
    if (mode == "gzip") {
        tarnix::io::FileSource compressed(std::move(file));
        tarnix::io::GzipSource gzip(compressed, kMaxBytes);
        const auto text = gzip.rest_in_memory();
        if (text) return static_cast<long long>(text->size());
        char chunk[1 << 16];
        long long size = 0;
        for (;;) {
            const auto outcome = gzip.read(chunk, sizeof chunk);
            if (!std::holds_alternative<std::size_t>(outcome)) return -1;
            const std::size_t count = std::get<std::size_t>(outcome);
            if (count == 0) return size;
            size += static_cast<long long>(count);
        }
    }
    if (mode == "lines") {
        tarnix::io::FileSource source(std::move(file));
        tarnix::io::LineReader reader(source);
        long long lines = 0;
        while (reader.next()) {
            ++lines;
        }
        return reader.error() ? -1 : lines;
    }
    static char buffer[tarnix::io::LineReader::kBufferSize];
    long long lines = 0;
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count <= 0) {
            return count < 0 ? -1 : lines;
        }
        for (const char* p = buffer; (p = static_cast<const char*>(std::memchr(p, '\n', buffer + count - p))); ++p) {
            ++lines;
        }
    }
}

// Peak resident set of this program. ru_maxrss would also count the parent that exec'd us.
long peak_rss_kb() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) {
            break;
        }
    }
    std::fclose(status);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FORMAT|gzip|lines|unpack|scan PASSES FILE...\n", argv[0]);
        return 2;
    }
    const std::string_view mode = argv[1];
    const int passes = std::max(1, std::atoi(argv[2]));
    long long bytes = 0;
    for (int i = 3; i < argc; ++i) {
        struct stat info {};
        if (::stat(argv[i], &info) == 0) {
            bytes += info.st_size;
        }
    }
    std::vector<double> seconds;
    long long work = 0;
    int failures = 0;
    for (int pass = 0; pass < passes; ++pass) {
        work = 0;
        failures = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 3; i < argc; ++i) {
            const long long done = run_once(mode, argv[i]);
            if (done < 0) {
                ++failures;
            } else {
                work += done;
            }
        }
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const double median = sorted[sorted.size() / 2];
    std::printf(
        "{\"mode\": \"%s\", \"files\": %d, \"bytes\": %lld, \"median_s\": %.6f, \"mb_per_s\": %.1f, "
        "\"peak_rss_kb\": %ld, \"work\": %lld, \"failures\": %d}\n",
        std::string(mode).c_str(), argc - 3, bytes, median, bytes / 1e6 / median, peak_rss_kb(), work, failures);
    return 0;
}
