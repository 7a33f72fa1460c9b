// Hostile input: mutated real files and random bytes must end in a Structure or an error.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/assign.hpp"
#include "io/readers.hpp"
#include "io_test_support.hpp"

namespace tarnix::io {
namespace {

std::string load(const std::string& file) {
    std::ifstream in(testing::test_data(file), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// An in-memory file holding bytes, positioned at its start.
FileDescriptor memory_file(const std::string& bytes) {
    FileDescriptor file(memfd_create("tarnix-fuzz", MFD_CLOEXEC));
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(file.get(), bytes.data() + written, bytes.size() - written);
        if (count <= 0) {
            ADD_FAILURE() << "write to memfd failed";
            break;
        }
        written += static_cast<std::size_t>(count);
    }
    ::lseek(file.get(), 0, SEEK_SET);
    return file;
}

struct Outcomes {
    int structures = 0;
    int errors = 0;
};

// Whatever a reader makes of the bytes, the core then runs on it to the end.
void expect_sound(ReadResult result, Outcomes& outcomes) {
    if (auto* structure = std::get_if<core::Structure>(&result)) {
        ++outcomes.structures;
        ASSERT_FALSE(structure->residues.empty());
        std::uint64_t covered = 0;
        for (const core::Chain& chain : structure->chains) {
            ASSERT_EQ(chain.start_index, covered);
            covered = chain.end_index;
        }
        ASSERT_EQ(covered, structure->residues.size());
        for (std::size_t i = 0; i < structure->residues.size(); ++i) {
            ASSERT_EQ(structure->residues[i].index, i);
        }
        core::assign_structure(*structure, core::AssignOptions{});
        for (const core::Residue& residue : structure->residues) {
            ASSERT_NE(std::string_view("HGIEBPTS ").find(residue.ss), std::string_view::npos);
        }
    } else {
        ++outcomes.errors;
        ASSERT_FALSE(std::get<InputError>(result).message().empty());
    }
}

// A window of a real file that starts just before its atom records.
std::string seed(const std::string& file, const std::string& marker, std::size_t length) {
    const std::string text = load(file);
    const std::size_t start = std::min(text.find(marker), text.size());
    return text.substr(start, length);
}

class Mutator {
public:
    explicit Mutator(std::uint64_t seed) : random_(seed) {}

    std::size_t below(std::size_t bound) {
        return bound == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, bound - 1)(random_);
    }

    std::string mutate(const std::string& base, const std::string& other) {
        std::string text = base;
        switch (below(5)) {
            case 0: text.resize(below(text.size() + 1)); break;
            case 1:
                for (std::size_t flips = 1 + below(16); flips > 0 && !text.empty(); --flips) {
                    text[below(text.size())] ^= static_cast<char>(1u << below(8));
                }
                break;
            case 2: {
                const std::size_t from = below(other.size());
                text.insert(below(text.size() + 1), other.substr(from, below(2000)));
                break;
            }
            case 3:
                for (std::size_t edits = 1 + below(20); edits > 0 && !text.empty(); --edits) {
                    text[below(text.size())] = kAlphabet[below(sizeof kAlphabet - 1)];
                }
                break;
            default: text = random_bytes(below(4000)); break;
        }
        return text;
    }

private:
    static constexpr char kAlphabet[] = " \t\r\n'\"#_.?-+0123456789eE\xC3\xA9\xE2\x80\x80\xF0\x9F\x98\x80\xFF";

    std::string random_bytes(std::size_t length) {
        std::string text(length, '\0');
        for (char& c : text) {
            c = static_cast<char>(below(256));
        }
        return text;
    }

    std::mt19937_64 random_;
};

TEST(ReaderFuzz, MutatedFilesAndRandomBytesNeverBreakTheReadersOrTheCore) {
    const std::vector<std::string> seeds = {
        seed("1ubq.pdb", "ATOM  ", 24000),
        seed("1ejg.pdb", "ATOM  ", 24000),
        seed("2juy_crlf.pdb", "MODEL ", 24000),
        seed("1ubq.cif", "loop_\n_atom_site.", 24000),
        seed("1ejg.cif", "loop_\n_atom_site.", 24000),
        seed("1hbb_minimal_ins.cif", "loop_", 24000),
    };
    Mutator mutator(0x7a2b1c);
    Outcomes pdb;
    Outcomes mmcif;
    for (int i = 0; i < 4000; ++i) {
        const std::string& base = seeds[mutator.below(seeds.size())];
        const std::string& other = seeds[mutator.below(seeds.size())];
        const std::string bytes = mutator.mutate(base, other);
        SCOPED_TRACE("case " + std::to_string(i));
        expect_sound(parse_pdb(memory_file(bytes)), pdb);
        expect_sound(parse_mmcif(memory_file(bytes)), mmcif);
        if (HasFatalFailure()) {
            return;
        }
    }
    // Both outcomes must be common, or the mutations are not reaching the readers' depths.
    EXPECT_GT(pdb.structures, 500);
    EXPECT_GT(pdb.errors, 500);
    EXPECT_GT(mmcif.structures, 150);
    EXPECT_GT(mmcif.errors, 300);
}

}  // namespace
}  // namespace tarnix::io
