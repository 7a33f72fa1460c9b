// Many structures read and assigned on the worker pool at once give the results of a
// sequential run; built with -fsanitize=thread this also checks for data races.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "core/assign.hpp"
#include "engine/worker_pool.hpp"
#include "io/structure_file.hpp"

namespace tarnix {
namespace {

struct Outcome {
    bool read = false;
    std::string codes;
    std::vector<float> accessibility;

    bool operator==(const Outcome&) const = default;
};

Outcome assign_file(const std::string& path) {
    auto read = io::read_structure_file(path);
    Outcome outcome;
    auto* structure = std::get_if<core::Structure>(&read);
    if (structure == nullptr) return outcome;
    core::assign_structure(*structure, core::AssignOptions{});
    outcome.read = true;
    for (const core::Residue& r : structure->residues) {
        outcome.codes.push_back(r.ss);
        outcome.accessibility.push_back(r.accessibility);
    }
    return outcome;
}

TEST(ParallelAssign, PoolResultsEqualSequentialResults) {
    // The full corpus when it is there, else the repository's own files.
    const bool shared = std::filesystem::is_directory(TARNIX_SHARED_DATA);
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(shared ? TARNIX_SHARED_DATA : TARNIX_TEST_DATA)) {
        const std::string name = entry.path().filename().string();
        if (entry.file_size() < 400'000 && name != "MANIFEST.tsv") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    ASSERT_GT(paths.size(), shared ? 20u : 5u);

    std::vector<Outcome> sequential;
    for (const std::string& path : paths) sequential.push_back(assign_file(path));

    engine::WorkerPool pool(2);
    std::vector<Outcome> parallel(paths.size());
    pool.run(paths.size(), [&](std::size_t i) { parallel[i] = assign_file(paths[i]); });
    for (std::size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(parallel[i], sequential[i]) << paths[i];
}

}  // namespace
}  // namespace tarnix
