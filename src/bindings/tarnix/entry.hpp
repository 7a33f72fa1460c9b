// The module's functions, in the fast-call convention.
#pragma once

#include "bindings/common/py_ref.hpp"

namespace tarnix::bindings {

PyObject* assign(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* assign_from_coords(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* assign_batch(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tarnix::bindings
