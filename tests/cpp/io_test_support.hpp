// Helpers for the reader tests: a temporary directory and reading through the file entry.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <variant>

#include "io/structure_file.hpp"

namespace tarnix::io::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnix-io-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp failed";
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes content to a file of that name in the directory and returns its path.
    std::string write(std::string_view name, std::string_view content) const {
        const std::filesystem::path file = path_ / std::filesystem::path(std::string(name));
        std::ofstream out(file, std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        return file.string();
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline std::string failure_text(const std::variant<core::Structure, ReadFailure>& result) {
    const auto* failure = std::get_if<ReadFailure>(&result);
    return failure != nullptr ? failure->message : std::string("<no failure>");
}

// Reads a file written into dir; fails the test if the reader returns an error.
inline core::Structure read_ok(const TempDir& dir, std::string_view name, std::string_view content) {
    auto result = read_structure_file(dir.write(name, content));
    if (const auto* failure = std::get_if<ReadFailure>(&result)) {
        ADD_FAILURE() << "read failed: " << failure->message;
        return {};
    }
    return std::move(std::get<core::Structure>(result));
}

inline std::string read_error(const TempDir& dir, std::string_view name, std::string_view content) {
    return failure_text(read_structure_file(dir.write(name, content)));
}

// Everything a reader fills in, one line per residue, for comparing whole results.
inline std::string describe(const core::Structure& structure) {
    std::string text;
    const auto point = [&text](const core::Point3& p) {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, " (%.3f %.3f %.3f)", p.x, p.y, p.z);
        text += buffer;
    };
    for (const core::Residue& residue : structure.residues) {
        text += "[" + residue.chain_id + "] " + std::to_string(residue.seq_id) + "[" + residue.ins_code + "] " +
                residue.res_name + " " + residue.amino_acid + " #" + std::to_string(residue.index);
        point(residue.n);
        point(residue.ca);
        point(residue.c);
        point(residue.o);
        if (residue.h) {
            text += " H";
            point(*residue.h);
        }
        for (const core::Atom& atom : residue.atoms) {
            text += " " + atom.name;
            point(atom.position);
        }
        text += "\n";
    }
    for (const core::Chain& chain : structure.chains) {
        text += "chain [" + chain.chain_id + "] " + std::to_string(chain.start_index) + ".." +
                std::to_string(chain.end_index) + "\n";
    }
    return text;
}

// The small real files the repository carries.
inline std::string test_data(std::string_view file) { return std::string(TARNIX_TEST_DATA) + "/" + std::string(file); }

// The full corpus next to the repository; a clone on its own does not have it.
inline std::string shared_data(std::string_view file) {
    return std::string(TARNIX_SHARED_DATA) + "/" + std::string(file);
}
inline bool have_shared_data() { return std::filesystem::is_directory(TARNIX_SHARED_DATA); }

}  // namespace tarnix::io::testing
