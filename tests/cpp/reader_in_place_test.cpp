#include <gtest/gtest.h>

#include <fcntl.h>

#include <bit>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

#include "io/byte_source.hpp"
#include "io/file_descriptor.hpp"
#include "io/formats.hpp"
#include "io/gzip_source.hpp"

namespace tarnix::io {
namespace {

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every field a reader fills, coordinates by their bits.
std::string describe(const ReadResult& result) {
    if (const auto* error = std::get_if<InputError>(&result)) return "error: " + error->message();
    std::string text;
    const auto point = [&text](const core::Point3& p) {
        for (const float v : {p.x, p.y, p.z}) text += std::to_string(std::bit_cast<std::uint32_t>(v)) + ",";
    };
    for (const core::Residue& r : std::get<core::Structure>(result).residues) {
        text += r.chain_id + "|" + std::to_string(r.seq_id) + r.ins_code + "|" + r.res_name + "|" + r.amino_acid + "|";
        for (const core::Point3& p : {r.n, r.ca, r.c, r.o, r.h.value_or(core::Point3{-1, -1, -1})}) point(p);
        for (const core::Atom& a : r.atoms) {
            text += a.name + ":";
            point(a.position);
        }
        text += "\n";
    }
    return text;
}

// Text held whole in memory is read in place, without the line buffer: the same structures as
// read through the buffer from the file, plain or gzipped.
TEST(ReaderInPlace, ReadsTheSameStructuresAsThroughTheBuffer) {
    const std::string data = TARNIX_TEST_DATA;
    for (const char* name : {"1ubq.pdb", "2juy_crlf.pdb", "1d3z.pdb", "1ake.cif", "1hbb_minimal_ins.cif"}) {
        const std::string path = data + "/" + name;
        const FileFormat format = format_for_name(name);
        FileSource file(FileDescriptor(::open(path.c_str(), O_RDONLY)));
        const std::string buffered = describe(parse(format, file));
        const std::string bytes = file_bytes(path);
        MemorySource memory(bytes);
        EXPECT_EQ(describe(parse(format, memory)), buffered) << name;
        EXPECT_NE(buffered.find('|'), std::string::npos) << name;
    }
    const std::string zipped = file_bytes(data + "/1ake.cif.gz");
    MemorySource compressed(zipped);
    GzipSource gzip(compressed, std::uint64_t{1} << 31);
    FileSource plain(FileDescriptor(::open((data + "/1ake.cif").c_str(), O_RDONLY)));
    EXPECT_EQ(describe(parse(FileFormat::mmcif, gzip)), describe(parse(FileFormat::mmcif, plain)));
}

}  // namespace
}  // namespace tarnix::io
