// Running the parallel steps of one structure's computation on threads made for it.
#pragma once

#include <cstddef>

#include "core/assign.hpp"

namespace tarnix::engine {

// A ParallelFor that runs the chunks on the calling thread and up to `extra_threads` threads
// started for each step (joined before it returns). An exception of any chunk is rethrown on
// the calling thread once every thread has stopped.
core::ParallelFor spread_over(std::size_t extra_threads);

}  // namespace tarnix::engine
