// The single-structure entry functions: assign (a file) and assign_from_coords (an array).
#include "bindings/tarnix/entry.hpp"

#include <variant>

#include "bindings/common/guard.hpp"
#include "bindings/tarnix/arguments.hpp"
#include "bindings/tarnix/coords.hpp"
#include "bindings/tarnix/result.hpp"
#include "core/assign.hpp"
#include "io/structure_file.hpp"

namespace tarnix::bindings {
namespace {

constexpr Signature kAssignSignature{"assign", {"path", "calculate_sasa", "ppii_stretch"}};
constexpr Signature kFromCoordsSignature{"assign_from_coords", {"coords", "chain_id", "calculate_sasa"}};

// Ctrl-C stops a blocking open or read the way it stops Python's own open(): the signal's
// handler runs, and the exception it raises ends the call.
class PythonSignals final : public io::Interruption {
    bool poll() override { return PyErr_CheckSignals() != 0; }
};

PyObject* assign_and_wrap(core::Structure& structure, const core::AssignOptions& options) {
    core::assign_structure(structure, options);
    return new_tarnix_result(make_result_record(structure));
}

PyObject* assign_unguarded(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound;
    if (!bind_arguments(kAssignSignature, args, nargs, kwnames, bound)) return nullptr;
    std::string path;
    core::AssignOptions options;
    if (!convert_text(bound[0], "path", path)) return nullptr;
    if (bound[1] && !convert_bool(bound[1], "calculate_sasa", options.calculate_sasa)) return nullptr;
    if (bound[2] && !convert_u64(bound[2], "ppii_stretch", options.ppii_stretch)) return nullptr;
    PythonSignals signals;
    auto outcome = io::read_structure_file(path, &signals);
    if (auto* failure = std::get_if<io::ReadFailure>(&outcome)) {
        if (failure->interrupted) return nullptr;
        PyErr_SetString(PyExc_ValueError, failure->message.c_str());
        return nullptr;
    }
    return assign_and_wrap(std::get<core::Structure>(outcome), options);
}

PyObject* assign_from_coords_unguarded(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArguments bound;
    if (!bind_arguments(kFromCoordsSignature, args, nargs, kwnames, bound)) return nullptr;
    CoordsArray coords;
    std::string chain_id = "A";
    core::AssignOptions options;
    if (!convert_coords(bound[0], "coords", coords)) return nullptr;
    if (bound[1] && !convert_text(bound[1], "chain_id", chain_id)) return nullptr;
    if (bound[2] && !convert_bool(bound[2], "calculate_sasa", options.calculate_sasa)) return nullptr;
    if (!has_backbone_shape(coords)) {
        PyErr_SetString(PyExc_ValueError, "coords must have shape (L, 4, 3) where 4 is N, CA, C, O");
        return nullptr;
    }
    core::Structure structure = structure_from_coords(coords, chain_id);
    return assign_and_wrap(structure, options);
}

}  // namespace

// Copying arguments can run out of memory too, so the whole call is guarded.
PyObject* assign(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return assign_unguarded(args, nargs, kwnames); });
}

PyObject* assign_from_coords(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return assign_from_coords_unguarded(args, nargs, kwnames); });
}

}  // namespace tarnix::bindings
