// Keeps C++ exceptions from crossing into the interpreter.
#pragma once

#include "bindings/common/py_ref.hpp"

#include <exception>
#include <new>

namespace tarnix::bindings {

// Raised for a broken internal invariant. It derives from BaseException, so that
// `except Exception` does not swallow what is a fault of this module, not of the input.
PyObject* internal_error_type();

// Runs body (which returns a new reference or nullptr with an exception set) and turns
// any C++ exception into a Python one.
template <typename Body>
PyObject* guarded(Body&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& error) {
        if (PyObject* type = internal_error_type()) PyErr_SetString(type, error.what());
        return nullptr;
    }
}

}  // namespace tarnix::bindings
