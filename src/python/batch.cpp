// assign_batch: many files on the process-wide worker pool.
#include <string>
#include <vector>

#include "python/arguments.hpp"
#include "python/entry.hpp"

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
        out.reserve(static_cast<std::size_t>(hint));
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

}  // namespace

PyObject* assign_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound;
    if (!bind_arguments(kBatchSignature, args, nargs, kwnames, bound)) return nullptr;
    std::vector<std::string> paths;
    std::uint64_t n_threads = 0;
    bool calculate_sasa = true;
    if (!convert_paths(bound[0], "paths", paths)) return nullptr;
    if (bound[1] && !convert_u64(bound[1], "n_threads", n_threads)) return nullptr;
    if (bound[2] && !convert_bool(bound[2], "calculate_sasa", calculate_sasa)) return nullptr;
    PyErr_SetString(PyExc_NotImplementedError, "reading structure files is not available yet");
    return nullptr;
}

}  // namespace tarnix::python
