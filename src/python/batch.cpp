// assign_batch: many files on the process-wide worker pool.
#include <algorithm>
#include <exception>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/assign.hpp"
#include "io/structure_file.hpp"
#include "python/arguments.hpp"
#include "python/entry.hpp"
#include "python/guard.hpp"
#include "python/result.hpp"
#include "python/worker_pool.hpp"

namespace tarnix::python {
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

// Reads, assigns and converts one file off the interpreter; nullopt when it cannot be read.
std::optional<ResultRecord> process_file(const std::string& path, const core::AssignOptions& options) {
    auto outcome = io::read_structure_file(path);
    auto* structure = std::get_if<core::Structure>(&outcome);
    if (structure == nullptr) return std::nullopt;
    core::assign_structure(*structure, options);
    return make_result_record(*structure);
}

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

    WorkerPool& pool = process_pool(static_cast<std::size_t>(std::min<std::uint64_t>(n_threads, kMaxPoolThreads)));
    std::vector<std::optional<ResultRecord>> slots(paths.size());
    FirstFailure failure;
    pool.run(paths.size(), [&](std::size_t i) {
        try {
            slots[i] = process_file(paths[i], options);
        } catch (...) {
            failure.record(std::current_exception());
        }
    });
    failure.rethrow();
    return results_list(slots);
}

}  // namespace

// Copying arguments can run out of memory too, so the whole call is guarded.
PyObject* assign_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return assign_batch_unguarded(args, nargs, kwnames); });
}

}  // namespace tarnix::python
