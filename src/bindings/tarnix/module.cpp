// Module initialisation: the three functions and two classes of `tarnix`, in that order.
#include "bindings/common/guard.hpp"
#include "bindings/tarnix/entry.hpp"
#include "bindings/tarnix/result.hpp"

namespace tarnix::bindings {
namespace {

PyMethodDef function_defs[] = {
    {"assign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(assign)), METH_FASTCALL | METH_KEYWORDS,
     "assign(path, calculate_sasa=True, ppii_stretch=3)\n--\n\n"
     "Assign secondary structure from a PDB file\n"
     "\n"
     "Args:\n"
     "    path: Path to PDB or mmCIF file\n"
     "    calculate_sasa: Whether to calculate surface accessibility (default: True)\n"
     "    ppii_stretch: Minimum PPII helix stretch length (default: 3)\n"
     "\n"
     "Returns:\n"
     "    TarnixResult containing secondary structure assignment"},
    {"assign_from_coords", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(assign_from_coords)),
     METH_FASTCALL | METH_KEYWORDS,
     "assign_from_coords(coords, chain_id=\"A\", calculate_sasa=True)\n--\n\n"
     "Assign secondary structure from coordinate array\n"
     "\n"
     "Args:\n"
     "    coords: Numpy array of shape (L, 4, 3) containing N, CA, C, O coordinates\n"
     "    chain_id: Chain identifier (default: \"A\")\n"
     "    calculate_sasa: Whether to calculate surface accessibility (default: True)\n"
     "\n"
     "Returns:\n"
     "    TarnixResult containing secondary structure assignment"},
    {"assign_batch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(assign_batch)),
     METH_FASTCALL | METH_KEYWORDS,
     "assign_batch(paths, n_threads=0, calculate_sasa=True)\n--\n\n"
     "Assign secondary structure to multiple PDB files in parallel\n"
     "\n"
     "Args:\n"
     "    paths: List of paths to PDB/mmCIF files\n"
     "    n_threads: Number of threads (0 = auto)\n"
     "    calculate_sasa: Whether to calculate surface accessibility\n"
     "\n"
     "Returns:\n"
     "    List of TarnixResult or None for failed files"},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "tarnix", "Python module for tarnix", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* cached_module = nullptr;
std::int64_t first_interpreter = -1;
PyObject* internal_error = nullptr;

// Sets module.<name> and appends the name to __all__ (created by the first registration).
bool register_object(PyObject* module, const char* name, PyRef object) {
    if (!object) return false;
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
    if (all == nullptr) {
        PyRef list(PyList_New(0));
        if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0) return false;
        all = list.get();
    }
    PyRef name_object(PyUnicode_FromString(name));
    return name_object && PyModule_AddObjectRef(module, name, object.get()) == 0 &&
           PyList_Append(all, name_object.get()) == 0;
}

PyObject* build_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* module_name = PyModule_GetNameObject(module.get());
    PyRef owned_name(module_name);
    if (module_name == nullptr) return nullptr;
    for (PyMethodDef& def : function_defs) {
        if (!register_object(module.get(), def.ml_name, PyRef(PyCFunction_NewEx(&def, module.get(), module_name)))) {
            return nullptr;
        }
    }
    if (!register_object(module.get(), "TarnixResult", PyRef(tarnix_result_type_object())) ||
        !register_object(module.get(), "ResidueInfo", PyRef(residue_info_type_object()))) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyObject* internal_error_type() {
    if (internal_error == nullptr) {
        internal_error = PyErr_NewException("tarnix.InternalError", PyExc_BaseException, nullptr);
    }
    return internal_error;
}

}  // namespace tarnix::bindings

PyMODINIT_FUNC PyInit_tarnix() {
    using namespace tarnix::bindings;
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (cached_module != nullptr) {
        if (interpreter != first_interpreter) {
            PyErr_SetString(PyExc_ImportError, "tarnix supports one interpreter per process");
            return nullptr;
        }
        Py_INCREF(cached_module);
        return cached_module;
    }
    PyObject* module = build_module();
    if (module == nullptr) return nullptr;
    first_interpreter = interpreter;
    cached_module = module;
    Py_INCREF(cached_module);
    return module;
}
