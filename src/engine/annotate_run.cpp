#include "engine/annotate_run.hpp"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/spread.hpp"

namespace tarnix::engine {

// Shared by the caller and the workers, so that it lives until the last of them lets go.
struct AnnotateRun::State {
    std::vector<Input> inputs;
    AnnotateOptions options;
    std::int32_t first_row = 0;
    std::size_t threads = 1;
    std::vector<std::vector<AnnotatedInput>> results;  // an input's models
    std::atomic<std::size_t> next{0};
    std::atomic<bool> cancelled{false};
    mutable std::mutex mutex;
    std::condition_variable progress;
    std::size_t done = 0;             // guarded by mutex
    std::uint64_t residues_done = 0;  // guarded by mutex
    std::size_t reading_memory = 0;   // guarded by mutex: workers on an input's in-memory bytes
};

namespace {

void work(const std::shared_ptr<AnnotateRun::State>& state) {
    for (;;) {
        if (state->cancelled.load(std::memory_order_relaxed)) return;
        const std::size_t i = state->next.fetch_add(1, std::memory_order_relaxed);
        if (i >= state->inputs.size()) return;
        // Once no input waits to be started, a large structure may use the threads that would
        // otherwise sit idle until the run ends.
        const bool last_inputs = state->next.load(std::memory_order_relaxed) >= state->inputs.size();
        const core::ParallelFor spread =
            last_inputs && state->threads > 1 ? spread_over(state->threads - 1) : core::ParallelFor{};
        const Input& input = state->inputs[i];
        if (input.bytes) {
            std::lock_guard lock(state->mutex);
            ++state->reading_memory;
        }
        std::vector<AnnotatedInput> result;
        try {
            result = annotate_models(input, state->first_row + static_cast<std::int32_t>(i), state->options,
                                     spread ? &spread : nullptr);
        } catch (const std::exception& error) {
            // A fault of this program, not of the input; still no reason to lose the other inputs.
            result.assign(1, AnnotatedInput{});
            result[0].error = std::string("internal error: ") + error.what();
        }
        std::lock_guard lock(state->mutex);
        state->reading_memory -= input.bytes ? 1 : 0;
        for (const AnnotatedInput& model : result) state->residues_done += model.residues.rows;
        state->results[i] = std::move(result);
        ++state->done;
        state->progress.notify_all();
    }
}

}  // namespace

AnnotateRun::AnnotateRun(std::vector<Input> inputs, const AnnotateOptions& options, std::int32_t first_row,
                         std::size_t threads)
    : state_(std::make_shared<State>()) {
    state_->inputs = std::move(inputs);
    state_->options = options;
    state_->first_row = first_row;
    state_->threads = std::max<std::size_t>(1, threads);
    state_->results.resize(state_->inputs.size());
    const std::size_t wanted = std::max<std::size_t>(1, std::min(threads, state_->inputs.size()));
    std::size_t started = 0;
    for (; started < wanted; ++started) {
        try {
            std::thread(work, state_).detach();
        } catch (const std::system_error&) {
            if (started == 0) throw;
            break;  // fewer workers than asked for still finish the run
        }
    }
}

// A worker on in-memory bytes is waited for (it cannot block, and ends in bounded time): the caller
// may free those bytes once the run is gone. One stuck on a file is left to finish on its own.
AnnotateRun::~AnnotateRun() {
    state_->cancelled.store(true, std::memory_order_relaxed);
    std::unique_lock lock(state_->mutex);
    state_->progress.wait(lock, [&] { return state_->reading_memory == 0; });
}

bool AnnotateRun::wait_for(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->progress.wait_for(lock, timeout, [&] { return state_->done == state_->inputs.size(); });
}

std::size_t AnnotateRun::done() const {
    std::lock_guard lock(state_->mutex);
    return state_->done;
}

std::uint64_t AnnotateRun::residues_done() const {
    std::lock_guard lock(state_->mutex);
    return state_->residues_done;
}

std::size_t AnnotateRun::size() const { return state_->inputs.size(); }

std::vector<AnnotatedInput> AnnotateRun::take_results() {
    std::lock_guard lock(state_->mutex);
    std::vector<AnnotatedInput> rows;
    rows.reserve(state_->results.size());
    for (std::size_t i = 0; i < state_->results.size(); ++i) {
        for (AnnotatedInput& model : state_->results[i]) {
            model.source = i;
            // An input of several models moves the rows of every input after it.
            const auto row = state_->first_row + static_cast<std::int32_t>(rows.size());
            set_row(model.residues, row);
            rows.push_back(std::move(model));
        }
    }
    state_->results.clear();
    return rows;
}

}  // namespace tarnix::engine
