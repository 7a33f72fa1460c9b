// Replays the fuzzers' seeds and every input that once made a fuzzer fail; in the sanitizer
// build of CI a memory fault here fails the run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fuzz/read_and_assign.hpp"

namespace tarnix::fuzz {
namespace {

TEST(FuzzReplay, SeedsAndRegressionInputsEndInAResultOrAnError) {
    std::size_t replayed = 0;
    for (const char* kind : {"/seeds/", "/regressions/"}) {
        for (const auto& [folder, format] : {std::pair{"pdb", io::FileFormat::pdb},
                                             {"mmcif", io::FileFormat::mmcif},
                                             {"bcif", io::FileFormat::bcif}}) {
            const std::filesystem::path dir = std::string(TARNIX_FUZZ_DIR) + kind + folder;
            if (!std::filesystem::is_directory(dir)) continue;
            for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                std::ostringstream bytes;
                bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
                const std::string text = bytes.str();
                const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
                read_and_assign(data, text.size(), format);
                EXPECT_TRUE(read_every_model_and_assign(data, text.size(), format)) << entry.path();
                ++replayed;
            }
        }
    }
    EXPECT_GE(replayed, 6u) << "the seeds are missing";
}

}  // namespace
}  // namespace tarnix::fuzz
