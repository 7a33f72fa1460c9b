// Annotates a list of inputs on worker threads of its own, so that the caller can wait in short
// slices (to answer Ctrl-C and report progress) and can walk away without waiting for a worker
// stuck on an input that never ends.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/annotate_input.hpp"

namespace tarnix::engine {

class AnnotateRun {
public:
    // Starts min(threads, inputs) workers (at least one). `first_row` is the row of the first
    // input in the table of structures. Throws std::system_error if no thread can be started.
    AnnotateRun(std::vector<Input> inputs, const AnnotateOptions& options, std::int32_t first_row, std::size_t threads);
    // Cancels: workers start no further input and let go of the run when their current one ends;
    // returns once no worker reads an input's in-memory bytes any more.
    ~AnnotateRun();
    AnnotateRun(const AnnotateRun&) = delete;
    AnnotateRun& operator=(const AnnotateRun&) = delete;

    // Waits at most `timeout`; true once every input is done.
    bool wait_for(std::chrono::milliseconds timeout);
    std::size_t done() const;
    std::uint64_t residues_done() const;
    std::size_t size() const;

    // Every input's outcome (a result per model), in input order; only once wait_for has returned true.
    std::vector<AnnotatedInput> take_results();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace tarnix::engine
