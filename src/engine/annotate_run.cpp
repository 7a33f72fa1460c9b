#include "engine/annotate_run.hpp"

#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "engine/spread.hpp"

namespace tarnix::engine {

// Shared by the caller and the workers, so that it lives until the last of them lets go. Every
// member after `window` is guarded by `mutex`.
struct AnnotateRun::State {
    AnnotateOptions options;
    std::int32_t next_row = 0;
    std::size_t threads = 1;
    RunWindow window;
    mutable std::mutex mutex;
    std::condition_variable work;      // an input to start, the end, or a cancellation
    std::condition_variable progress;  // an input done, or a worker off its in-memory bytes
    std::condition_variable room;      // the window half empty, or in-memory bytes let go
    std::deque<std::pair<std::size_t, Input>> waiting;  // (place, input) not started yet
    // Outcomes of the inputs from `taken` on, in input order; empty until done.
    std::deque<std::optional<std::vector<AnnotatedInput>>> results;
    std::size_t taken = 0;
    std::size_t added = 0;
    std::size_t done = 0;
    std::size_t ready = 0;  // of results, done in a row from the front
    std::size_t workers = 0;
    std::size_t in_flight_bytes = 0;  // in-memory bytes of inputs added and not done
    std::size_t reading_memory = 0;   // workers on an input's in-memory bytes
    std::uint64_t residues_done = 0;
    std::vector<std::size_t> released;
    bool closed = false;
    bool cancelled = false;

    bool has_room(std::size_t bytes, std::size_t inputs) const {
        const std::size_t in_flight = added - done;
        if (in_flight == 0) return true;
        return in_flight < inputs && in_flight_bytes + bytes <= window.bytes;
    }
};

namespace {

using State = AnnotateRun::State;

std::vector<AnnotatedInput> annotate_guarded(const Input& input, const AnnotateOptions& options,
                                             const core::ParallelFor* spread) {
    try {
        // The row is set when the outcome is taken: an input of several models moves the rows of
        // every input after it.
        return annotate_models(input, 0, options, spread);
    } catch (const std::exception& error) {
        // A fault of this program, not of the input; still no reason to lose the other inputs.
        std::vector<AnnotatedInput> result(1);
        result[0].error = std::string("internal error: ") + error.what();
        return result;
    }
}

void work(const std::shared_ptr<State>& state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->work.wait(lock, [&] { return state->cancelled || state->closed || !state->waiting.empty(); });
        if (state->cancelled || state->waiting.empty()) break;
        auto [place, input] = std::move(state->waiting.front());
        state->waiting.pop_front();
        // Once no input waits to be started, a large structure may use the threads that would
        // otherwise sit idle until the run ends.
        const bool last_inputs = state->closed && state->waiting.empty();
        const std::size_t bytes = input.bytes ? input.bytes->size() : 0;
        state->reading_memory += input.bytes ? 1 : 0;
        lock.unlock();
        const core::ParallelFor spread =
            last_inputs && state->threads > 1 ? spread_over(state->threads - 1) : core::ParallelFor{};
        std::vector<AnnotatedInput> result = annotate_guarded(input, state->options, spread ? &spread : nullptr);
        lock.lock();
        if (input.bytes) {
            --state->reading_memory;
            state->in_flight_bytes -= bytes;
            state->released.push_back(place);
        }
        for (const AnnotatedInput& model : result) state->residues_done += model.residues.rows;
        state->results[place - state->taken] = std::move(result);
        ++state->done;
        while (state->ready < state->results.size() && state->results[state->ready]) ++state->ready;
        state->progress.notify_all();
        if (input.bytes || state->added - state->done <= state->window.inputs / 2) state->room.notify_all();
    }
    --state->workers;
}

// Called with the lock held.
void start_worker(const std::shared_ptr<State>& state) {
    std::thread(work, state).detach();
    ++state->workers;
}

}  // namespace

AnnotateRun::AnnotateRun(const AnnotateOptions& options, std::int32_t first_row, std::size_t threads,
                         RunWindow window)
    : state_(std::make_shared<State>()) {
    state_->options = options;
    state_->next_row = first_row;
    state_->threads = std::max<std::size_t>(1, threads);
    state_->window = window;
    std::lock_guard lock(state_->mutex);
    start_worker(state_);
}

// A worker on in-memory bytes is waited for (it cannot block, and ends in bounded time): the caller
// may free those bytes once the run is gone. One stuck on a file is left to finish on its own.
AnnotateRun::~AnnotateRun() {
    std::unique_lock lock(state_->mutex);
    state_->cancelled = true;
    state_->waiting.clear();
    state_->work.notify_all();
    state_->progress.wait(lock, [&] { return state_->reading_memory == 0; });
}

// A full window is waited on until half of it is free, so that the caller, woken once, adds
// inputs for a while instead of being woken for every input done.
bool AnnotateRun::wait_for_room(std::size_t bytes, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    const RunWindow& window = state_->window;
    if (state_->has_room(bytes, window.inputs)) return true;
    return state_->room.wait_for(lock, timeout, [&] { return state_->has_room(bytes, window.inputs / 2 + 1); });
}

void AnnotateRun::add(Input input) {
    std::lock_guard lock(state_->mutex);
    State& state = *state_;
    state.in_flight_bytes += input.bytes ? input.bytes->size() : 0;
    state.waiting.emplace_back(state.added++, std::move(input));
    state.results.emplace_back();
    if (state.workers < state.threads && state.workers < state.added - state.done) {
        try {
            start_worker(state_);
        } catch (const std::system_error&) {
            // fewer workers than asked for still finish the run
        }
    }
    state.work.notify_one();
}

void AnnotateRun::close() {
    std::lock_guard lock(state_->mutex);
    state_->closed = true;
    state_->work.notify_all();
}

bool AnnotateRun::wait_for(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->progress.wait_for(lock, timeout, [&] { return state_->ready >= count; });
}

std::size_t AnnotateRun::added() const {
    std::lock_guard lock(state_->mutex);
    return state_->added;
}

std::size_t AnnotateRun::done() const {
    std::lock_guard lock(state_->mutex);
    return state_->done;
}

std::uint64_t AnnotateRun::residues_done() const {
    std::lock_guard lock(state_->mutex);
    return state_->residues_done;
}

std::size_t AnnotateRun::ready() const {
    std::lock_guard lock(state_->mutex);
    return state_->ready;
}

std::vector<std::size_t> AnnotateRun::take_released() {
    std::lock_guard lock(state_->mutex);
    return std::exchange(state_->released, {});
}

std::vector<AnnotatedInput> AnnotateRun::take(std::size_t count) {
    std::lock_guard lock(state_->mutex);
    State& state = *state_;
    count = std::min(count, state.ready);
    std::vector<AnnotatedInput> rows;
    rows.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        for (AnnotatedInput& model : *state.results.front()) {
            model.source = i;
            set_row(model.residues, state.next_row++);
            rows.push_back(std::move(model));
        }
        state.results.pop_front();
    }
    state.taken += count;
    state.ready -= count;
    return rows;
}

}  // namespace tarnix::engine
