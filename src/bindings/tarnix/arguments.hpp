// Argument binding and conversion shared by every entry function.
#pragma once

#include "bindings/common/py_ref.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tarnix::bindings {

// Every entry function takes one required and two optional parameters.
inline constexpr Py_ssize_t kParameterCount = 3;

struct Signature {
    const char* function_name;
    std::array<const char*, kParameterCount> parameter_names;
};

// The arguments as supplied, in parameter order (borrowed; nullptr where not given).
using BoundArguments = std::array<PyObject*, kParameterCount>;

// Binds fast-call arguments to parameters. On failure sets TypeError and returns false.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArguments& bound);

// Each converter returns false with a Python exception set on failure. A TypeError
// carries the "argument '<name>': " prefix; any other exception is left as raised.
bool convert_text(PyObject* object, const char* name, std::string& out);
bool convert_bool(PyObject* object, const char* name, bool& out);
bool convert_u64(PyObject* object, const char* name, std::uint64_t& out);

// Re-raises a pending TypeError (exactly that type) with the argument prefix; leaves other
// exceptions, TypeError subclasses included, alone.
void prefix_type_error(const char* name);

// The qualified name of the object's type, as error messages show it.
std::string type_name(PyObject* object);

}  // namespace tarnix::bindings
