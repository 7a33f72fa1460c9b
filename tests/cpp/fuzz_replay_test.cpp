// Replays the fuzzers' seeds and every input that once made a fuzzer fail; under the sanitizer
// build of CI a memory fault here fails the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz/read_and_assign.hpp"

namespace tarnix::fuzz {
namespace {

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(FuzzReplay, SeedsAndRegressionInputsEndInAResultOrAnError) {
    const std::filesystem::path root(TARNIX_FUZZ_DIR);
    std::size_t replayed = 0;
    for (const char* kind : {"seeds", "regressions"}) {
        for (const auto& [folder, format] : {std::pair{"pdb", io::FileFormat::pdb}, {"mmcif", io::FileFormat::mmcif}}) {
            const std::filesystem::path dir = root / kind / folder;
            if (!std::filesystem::is_directory(dir)) continue;
            for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                const std::string bytes = contents(entry.path());
                SCOPED_TRACE(entry.path().string());
                read_and_assign(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), format);
                ++replayed;
            }
        }
    }
    EXPECT_GE(replayed, 4u) << "the seeds are missing";
}

}  // namespace
}  // namespace tarnix::fuzz
