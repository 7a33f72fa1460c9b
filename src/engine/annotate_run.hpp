// Annotates inputs on worker threads of its own as they are added, so that the caller reads the
// next inputs while the workers compute, waits in short slices (to answer Ctrl-C and report
// progress) and can walk away without waiting for a worker stuck on an input that never ends.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "engine/annotate_input.hpp"

namespace tarnix::engine {

// The most inputs added and not yet finished, and the most in-memory bytes among them (a single
// input larger than that is still taken, alone).
struct RunWindow {
    std::size_t inputs = 64;
    std::size_t bytes = std::size_t{256} << 20;
};

class AnnotateRun {
public:
    // Starts one worker, and more (up to `threads`, at least one) as inputs arrive. `first_row` is
    // the row of the first input in the table of structures. Throws std::system_error if no thread
    // can be started.
    AnnotateRun(const AnnotateOptions& options, std::int32_t first_row, std::size_t threads, RunWindow window);
    // Cancels: workers start no further input and let go of the run when their current one ends;
    // returns once no worker reads an input's in-memory bytes any more.
    ~AnnotateRun();
    AnnotateRun(const AnnotateRun&) = delete;
    AnnotateRun& operator=(const AnnotateRun&) = delete;

    // Waits at most `timeout` for room in the window for an input of `bytes` in-memory bytes.
    bool wait_for_room(std::size_t bytes, std::chrono::milliseconds timeout);
    // Queues an input (room or not: the caller decides whether to wait for it first).
    void add(Input input);
    // No more inputs will come: the last ones may spread over the idle workers, who then leave.
    void close();
    // Waits at most `timeout`; true once the next `count` inputs not yet taken are done.
    bool wait_for(std::size_t count, std::chrono::milliseconds timeout);

    std::size_t added() const;
    std::size_t done() const;
    std::uint64_t residues_done() const;
    // How many inputs in a row, from the first not yet taken, are done.
    std::size_t ready() const;
    // The places (counted from the run's first input) of in-memory inputs whose bytes no worker
    // reads any more, since the last call: the caller may let go of them.
    std::vector<std::size_t> take_released();

    // The outcomes (a result per model) of the next `count` inputs, in input order, `source`
    // counted from the first of them; only once wait_for(count) has returned true.
    std::vector<AnnotatedInput> take(std::size_t count);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace tarnix::engine
