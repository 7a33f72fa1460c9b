#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>

#include "io/formats.hpp"
#include "io/input_error.hpp"
#include "io/structure_file.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

using testing::failure_text;
using testing::have_shared_data;
using testing::read_error;
using testing::shared_data;
using testing::TempDir;
using testing::test_data;

const char* const kEmpty = "Empty file or no valid records";
const char* const kInvalidUtf8 = "IO error: stream did not contain valid UTF-8";

TEST(ModuleFormatForPath, ChoosesMmcifOnlyForCifAndMmcifSuffixesInAnyCase) {
    const std::pair<const char*, FileFormat> cases[] = {
        {"model.cif", FileFormat::mmcif},   {"model.CIF", FileFormat::mmcif}, {"model.Cif", FileFormat::mmcif},
        {"MODEL.MMCIF", FileFormat::mmcif}, {"a/b.mmCif", FileFormat::mmcif}, {".cif", FileFormat::mmcif},
        {"model.cif.gz", FileFormat::pdb},  {"model.ent", FileFormat::pdb},   {"model", FileFormat::pdb},
        {"cif", FileFormat::pdb},           {"model.pdbx", FileFormat::pdb},  {"model.c\u0130f", FileFormat::pdb},
        {"x.\u212Aif", FileFormat::pdb},    {"model.cif/", FileFormat::pdb},  {"model_cif", FileFormat::pdb},
        {"model.bcif", FileFormat::pdb},    {"model.BCIF", FileFormat::pdb},
    };
    for (const auto& [path, format] : cases) {
        EXPECT_EQ(module_format_for_path(path), format) << path;
    }
}

// The companion's choice: every format of the list, a trailing ".gz" set aside.
TEST(FormatForName, SetsGzipAsideAndTakesEveryFormatsSuffixes) {
    const std::pair<const char*, FileFormat> cases[] = {
        {"a.cif.gz", FileFormat::mmcif},   {"a.MMCIF.GZ", FileFormat::mmcif}, {"a.bcif", FileFormat::bcif},
        {"a.BCif.Gz", FileFormat::bcif},   {"a.ent.gz", FileFormat::pdb},     {"a.gz", FileFormat::pdb},
        {"a.bcif.gz.gz", FileFormat::pdb}, {"bcif", FileFormat::pdb},         {"a.xbcif", FileFormat::pdb},
    };
    for (const auto& [name, format] : cases) {
        EXPECT_EQ(format_for_name(name), format) << name;
    }
    for (const Format& entry : formats()) {
        EXPECT_EQ(format_named(entry.name), entry.id);
    }
    EXPECT_EQ(format_named("cif"), std::nullopt);
    EXPECT_EQ(format_claimed_by_name("a.pdbx.gz"), std::nullopt);
    EXPECT_EQ(format_claimed_by_name("a.gz"), std::nullopt);
    EXPECT_EQ(format_claimed_by_name("A.ENT.GZ"), FileFormat::pdb);
}

// Where no name decides: a MessagePack map is BinaryCIF, a text whose first line that is neither
// blank nor a comment opens a data block is mmCIF, anything else PDB.
TEST(FormatOfContent, TellsTheFormatsByTheirFirstBytes) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, FileFormat> cases[] = {
        {"data_1ABC\n", FileFormat::mmcif},
        {"\r\n \t# comment\n#\n  DATA_x", FileFormat::mmcif},
        {"data_", FileFormat::mmcif},
        {"data", FileFormat::pdb},
        {"HEADER    data_\n", FileFormat::pdb},
        {"# only a comment", FileFormat::pdb},
        {"#\nloop_\n", FileFormat::pdb},
        {"", FileFormat::pdb},
        {"\x81\xa8" "encoding"sv, FileFormat::bcif},
        {"\x8f"sv, FileFormat::bcif},
        {"\xde\x00\x02"sv, FileFormat::bcif},
        {"\xdf\x00\x00\x00\x02"sv, FileFormat::bcif},
        {"\x90"sv, FileFormat::pdb},  // a MessagePack array
        {"\x7f"sv, FileFormat::pdb},
        {"\x1f\x8b"sv, FileFormat::pdb},  // gzip is set aside before this is asked
    };
    for (const auto& [head, format] : cases) {
        EXPECT_EQ(format_of_content(head), format) << head;
    }
    const std::string comments(kSniffBytes - 6, '#');
    EXPECT_EQ(format_of_content(comments + "\ndata_"), FileFormat::mmcif);
    EXPECT_EQ(format_of_content(comments + "#\ndata_"), FileFormat::pdb);
}

TEST(ReadStructureFile, ReportsOpenAndReaderFailuresAsTheirTexts) {
    TempDir dir;
    const std::string missing = (dir.path() / "missing.cif").string();
    EXPECT_EQ(failure_text(read_structure_file(missing)), os_error_text(2));
    EXPECT_EQ(failure_text(read_structure_file(dir.path().string())), "IO error: " + os_error_text(21));
    std::filesystem::create_directory(dir.path() / "folder.cif");
    EXPECT_EQ(failure_text(read_structure_file((dir.path() / "folder.cif").string())),
              "IO error: " + os_error_text(21));
    const std::string with_nul = dir.write("x.pdb", "") + std::string("\0.cif", 5);
    EXPECT_EQ(failure_text(read_structure_file(with_nul)), "file name contained an unexpected NUL byte");
    EXPECT_EQ(read_error(dir, "empty.pdb", ""), kEmpty);
    EXPECT_EQ(read_error(dir, "empty.cif", ""), kEmpty);
    EXPECT_EQ(failure_text(read_structure_file(test_data("1ake.cif.gz"))), kInvalidUtf8);
}

TEST(ReadStructureFile, PicksTheReaderByName) {
    TempDir dir;
    // The PDB reader skips these lines; the mmCIF reader fails on the missing atom name.
    const std::string cif_text = "loop_\n_atom_site.Cartn_x\n1.0\n";
    EXPECT_EQ(read_error(dir, "MODEL.MMCIF", cif_text), "Missing field: label_atom_id");
    EXPECT_EQ(read_error(dir, "model.Cif", cif_text), "Missing field: label_atom_id");
    EXPECT_EQ(read_error(dir, "model.cif.gz", cif_text), kEmpty);
    EXPECT_EQ(read_error(dir, "model", cif_text), kEmpty);
}

// Every plain-text file listed in a manifest reads; only the nucleic-acid entries are empty.
int expect_every_plain_text_file_reads(const std::string& dir) {
    std::ifstream manifest(dir + "/MANIFEST.tsv");
    EXPECT_TRUE(manifest) << "no manifest in " << dir;
    std::string line;
    std::getline(manifest, line);
    int files = 0;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string file, id, format;
        std::getline(fields, file, '\t');
        std::getline(fields, id, '\t');
        std::getline(fields, format, '\t');
        const auto result = read_structure_file(dir + "/" + file);
        ++files;
        if (format.ends_with("gzip")) {
            EXPECT_EQ(failure_text(result), kInvalidUtf8) << file;
        } else if (id == "1BNA" || id == "4GXY" || file.ends_with(".pdbx")) {
            EXPECT_EQ(failure_text(result), kEmpty) << file;
        } else {
            EXPECT_TRUE(std::holds_alternative<core::Structure>(result)) << file << ": " << failure_text(result);
        }
    }
    return files;
}

TEST(TestData, EveryPlainTextFileReads) { EXPECT_EQ(expect_every_plain_text_file_reads(TARNIX_TEST_DATA), 13); }

TEST(SharedCorpus, EveryPlainTextFileReads) {
    if (!have_shared_data()) GTEST_SKIP() << "no shared corpus at " << TARNIX_SHARED_DATA;
    EXPECT_GT(expect_every_plain_text_file_reads(TARNIX_SHARED_DATA), 100);
}

std::string backbone_summary(const core::Structure& structure) {
    std::string text;
    for (const core::Residue& r : structure.residues) {
        char line[256];
        std::snprintf(line, sizeof line, "%s %d%s %s %c N(%.3f %.3f %.3f) CA(%.3f %.3f %.3f) C(%.3f) O(%.3f)\n",
                      r.chain_id.c_str(), r.seq_id, r.ins_code.c_str(), r.res_name.c_str(), r.amino_acid, r.n.x, r.n.y,
                      r.n.z, r.ca.x, r.ca.y, r.ca.z, r.c.x, r.o.x);
        text += line;
    }
    return text;
}

void expect_copies_agree(const std::string& dir, std::initializer_list<const char*> entries) {
    for (const char* entry : entries) {
        const auto pdb = read_structure_file(dir + "/" + entry + ".pdb");
        const auto cif = read_structure_file(dir + "/" + entry + ".cif");
        ASSERT_TRUE(std::holds_alternative<core::Structure>(pdb)) << entry;
        ASSERT_TRUE(std::holds_alternative<core::Structure>(cif)) << entry;
        EXPECT_EQ(backbone_summary(std::get<core::Structure>(pdb)), backbone_summary(std::get<core::Structure>(cif)))
            << entry;
    }
}

TEST(TestData, PdbAndMmcifCopiesOfAnEntryAgree) { expect_copies_agree(TARNIX_TEST_DATA, {"1aki", "1ejg", "1ubq"}); }

TEST(SharedCorpus, PdbAndMmcifCopiesOfAnEntryAgree) {
    if (!have_shared_data()) GTEST_SKIP() << "no shared corpus at " << TARNIX_SHARED_DATA;
    expect_copies_agree(TARNIX_SHARED_DATA,
                        {"1a8o", "1aki", "1dix", "1ejg", "1f2n", "1igy", "1k6p", "1l2y", "1lcd", "1o1z", "1ubq", "2beg",
                         "2igd", "3o5r", "3wip", "4hhb", "4lzt", "5dx9", "5ugo"});
}

}  // namespace
}  // namespace tarnix::io
