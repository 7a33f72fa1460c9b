// assign_batch: many files on the process-wide worker pool.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/common/guard.hpp"
#include "bindings/tarnix/arguments.hpp"
#include "bindings/tarnix/entry.hpp"
#include "bindings/tarnix/result.hpp"
#include "core/assign.hpp"
#include "engine/worker_pool.hpp"
#include "io/structure_file.hpp"

namespace tarnix::bindings {
namespace {

constexpr Signature kBatchSignature{"assign_batch", {"paths", "n_threads", "calculate_sasa"}};

bool convert_paths(PyObject* object, const char* name, std::vector<std::string>& out) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        prefix_type_error(name);
        return false;
    }
    if (!PySequence_Check(object)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", type_name(object).c_str());
        prefix_type_error(name);
        return false;
    }
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        PyErr_Clear();
    } else {
        // Only a hint: a sequence may claim far more items than it yields.
        constexpr std::size_t kMostReserved = 1 << 16;
        out.reserve(std::min(static_cast<std::size_t>(hint), kMostReserved));
    }
    PyRef iterator(PyObject_GetIter(object));
    if (!iterator) {
        prefix_type_error(name);
        return false;
    }
    while (PyRef item{PyIter_Next(iterator.get())}) {
        std::string path;
        if (!convert_text(item.get(), name, path)) return false;
        out.push_back(std::move(path));
    }
    if (PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    return true;
}

// Stops the reads of a batch whose caller has given up on it.
class BatchCancelled final : public io::Interruption {
public:
    explicit BatchCancelled(const std::atomic<bool>& cancelled) : cancelled_(cancelled) {}

private:
    bool poll() override { return cancelled_.load(std::memory_order_relaxed); }

    const std::atomic<bool>& cancelled_;
};

// The first exception any worker threw, rethrown on the calling thread.
class FirstFailure {
public:
    void record(std::exception_ptr failure) {
        std::lock_guard lock(mutex_);
        if (!failure_) failure_ = std::move(failure);
    }
    void rethrow() const {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr failure_;
};

// Everything the workers touch. Shared with them, so that a worker still busy with a file of a
// batch the caller gave up on writes into memory that lives until it is done.
struct BatchState {
    std::vector<std::string> paths;
    core::AssignOptions options;
    std::vector<std::optional<ResultRecord>> slots;
    std::atomic<bool> cancelled{false};
    FirstFailure failure;

    // Reads, assigns and converts one file off the interpreter; the slot stays empty when the
    // file cannot be read or does not fit in memory.
    void process(std::size_t i) {
        try {
            BatchCancelled interruption(cancelled);
            auto outcome = io::read_structure_file(paths[i], &interruption);
            auto* structure = std::get_if<core::Structure>(&outcome);
            if (structure == nullptr) return;
            core::assign_structure(*structure, options);
            slots[i] = make_result_record(*structure);
        } catch (const std::bad_alloc&) {
        } catch (...) {
            failure.record(std::current_exception());
        }
    }
};

// How often the waiting caller looks for a signal such as Ctrl-C.
constexpr std::chrono::milliseconds kSignalCheckInterval{100};

PyObject* results_list(std::vector<std::optional<ResultRecord>>& slots) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(slots.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        PyObject* item = nullptr;
        if (slots[i]) {
            item = new_tarnix_result(std::move(*slots[i]));
            if (item == nullptr) return nullptr;
        } else {
            item = Py_NewRef(Py_None);
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* assign_batch_unguarded(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound;
    if (!bind_arguments(kBatchSignature, args, nargs, kwnames, bound)) return nullptr;
    std::vector<std::string> paths;
    std::uint64_t n_threads = 0;
    core::AssignOptions options;
    if (!convert_paths(bound[0], "paths", paths)) return nullptr;
    if (bound[1] && !convert_u64(bound[1], "n_threads", n_threads)) return nullptr;
    if (bound[2] && !convert_bool(bound[2], "calculate_sasa", options.calculate_sasa)) return nullptr;

    auto state = std::make_shared<BatchState>();
    state->paths = std::move(paths);
    state->options = options;
    state->slots.resize(state->paths.size());
    engine::WorkerPool& pool =
        engine::process_pool(static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, engine::kMaxPoolThreads)));
    const bool finished = pool.run_until(
        state->paths.size(), [state](std::size_t i) { state->process(i); }, kSignalCheckInterval,
        [] { return PyErr_CheckSignals() == 0; });
    if (!finished) {
        // A signal handler raised (KeyboardInterrupt, say): files in progress stop at their next read.
        state->cancelled.store(true, std::memory_order_relaxed);
        return nullptr;
    }
    state->failure.rethrow();
    return results_list(state->slots);
}

}  // namespace

// Copying arguments can run out of memory too, so the whole call is guarded.
PyObject* assign_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return assign_batch_unguarded(args, nargs, kwnames); });
}

}  // namespace tarnix::bindings
