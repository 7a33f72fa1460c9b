// What the reader fuzz targets do with their bytes: read them as a file of one format, from memory,
// and run the whole computation on whatever structure (or every model) comes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "core/assign.hpp"
#include "io/byte_source.hpp"
#include "io/formats.hpp"

namespace tarnix::fuzz {

inline int read_and_assign(const std::uint8_t* data, std::size_t size, io::FileFormat format) {
    io::MemorySource source(std::string_view(reinterpret_cast<const char*>(data), size));
    io::ReadResult result = io::parse(format, source);
    if (auto* structure = std::get_if<core::Structure>(&result)) {
        core::assign_structure(*structure, core::AssignOptions{});
    }
    return 0;
}

// The same bytes read for every model, each model computed as it comes.
inline int read_every_model_and_assign(const std::uint8_t* data, std::size_t size, io::FileFormat format) {
    io::MemorySource source(std::string_view(reinterpret_cast<const char*>(data), size));
    io::parse_models(format, source, [](std::int32_t, io::ReadResult model) {
        if (auto* structure = std::get_if<core::Structure>(&model)) {
            core::assign_structure(*structure, core::AssignOptions{});
        }
    });
    return 0;
}

}  // namespace tarnix::fuzz
