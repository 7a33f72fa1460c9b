#include "bindings/tarnix/arguments.hpp"

namespace tarnix::bindings {
namespace {

std::optional<Py_ssize_t> parameter_index(const Signature& signature, PyObject* keyword) {
    for (Py_ssize_t p = 0; p < kParameterCount; ++p) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.parameter_names[p]) == 0) return p;
    }
    return std::nullopt;
}

std::string attribute_text(PyObject* object, const char* attribute) {
    PyRef value(PyObject_GetAttrString(object, attribute));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return {};
    }
    const char* text = PyUnicode_AsUTF8(value.get());
    if (text == nullptr) {
        PyErr_Clear();
        return {};
    }
    return text;
}

bool is_numpy_bool(PyObject* object) {
    auto* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
    if (attribute_text(type, "__module__") != "numpy") return false;
    const std::string name = attribute_text(type, "__name__");
    return name == "bool_" || name == "bool";
}

}  // namespace

std::string type_name(PyObject* object) {
    return attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__");
}

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    BoundArguments& bound) {
    const char* fn = signature.function_name;
    if (nargs > kParameterCount) {
        PyErr_Format(PyExc_TypeError, "%s() takes from 1 to %zd positional arguments but %zd were given", fn,
                     kParameterCount, nargs);
        return false;
    }
    bound.fill(nullptr);
    for (Py_ssize_t p = 0; p < nargs; ++p) bound[p] = args[p];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!parameter_index(signature, keyword)) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, keyword);
            return false;
        }
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t p = *parameter_index(signature, keyword);
        if (bound[p] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn,
                         signature.parameter_names[p]);
            return false;
        }
        bound[p] = args[nargs + k];
    }
    if (bound[0] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", fn,
                     signature.parameter_names[0]);
        return false;
    }
    return true;
}

void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type(type);
    PyRef owned_value(value);
    PyRef owned_traceback(traceback);
    // Only TypeError itself is reworded; its subclasses propagate as raised.
    if (type != PyExc_TypeError) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        return;
    }

    PyRef message(PyObject_Str(value));
    if (!message) return;
    PyRef prefixed(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!prefixed) return;
    PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, prefixed.get()));
    if (!replacement) return;
    // Setting the cause, even to nothing, also suppresses the implicit context, as `raise ... from` does.
    PyException_SetCause(replacement.get(), PyException_GetCause(value));  // steals the cause
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

namespace {

bool fail_conversion(PyObject* object, const char* name, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(object).c_str(), target);
    prefix_type_error(name);
    return false;
}

}  // namespace

bool convert_text(PyObject* object, const char* name, std::string& out) {
    if (!PyUnicode_Check(object)) return fail_conversion(object, name, "PyString");
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        prefix_type_error(name);
        return false;
    }
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert_bool(PyObject* object, const char* name, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    if (!is_numpy_bool(object)) return fail_conversion(object, name, "PyBool");
    PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) {
        PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                     type_name(object).c_str());
        prefix_type_error(name);
        return false;
    }
    const int truth = number->nb_bool(object);
    if (truth != 0 && truth != 1) {
        prefix_type_error(name);
        return false;
    }
    out = truth == 1;
    return true;
}

bool convert_u64(PyObject* object, const char* name, std::uint64_t& out) {
    PyRef integer = PyRef::borrowed(object);
    if (!PyLong_Check(object)) {
        integer = PyRef(PyNumber_Index(object));
        if (!integer) {
            prefix_type_error(name);
            return false;
        }
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    out = value;
    return true;
}

}  // namespace tarnix::bindings
