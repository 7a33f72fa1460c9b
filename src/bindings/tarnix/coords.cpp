#include "bindings/tarnix/coords.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tarnix_ARRAY_API
#include <numpy/arrayobject.h>

#include <cstring>

#include "base/huge_pages.hpp"
#include "bindings/tarnix/arguments.hpp"

namespace tarnix::bindings {
namespace {

bool numpy_ready = false;

bool ensure_numpy() {
    if (numpy_ready) return true;
    if (_import_array() < 0) return false;
    numpy_ready = true;
    return true;
}

PyArrayObject* as_array(const CoordsArray& coords) { return reinterpret_cast<PyArrayObject*>(coords.array.get()); }

}  // namespace

bool convert_coords(PyObject* object, const char* name, CoordsArray& out) {
    if (!ensure_numpy()) return false;
    bool accepted = PyArray_Check(object);
    if (accepted) {
        auto* array = reinterpret_cast<PyArrayObject*>(object);
        accepted = PyArray_NDIM(array) == 3;
        if (accepted) {
            PyRef float32(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_FLOAT32)));
            accepted = PyArray_EquivTypes(PyArray_DESCR(array), reinterpret_cast<PyArray_Descr*>(float32.get()));
        }
    }
    if (!accepted) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyArray<T, D>'", type_name(object).c_str());
        prefix_type_error(name);
        return false;
    }
    out.array = PyRef::borrowed(object);
    return true;
}

bool has_backbone_shape(const CoordsArray& coords) {
    const npy_intp* dims = PyArray_DIMS(as_array(coords));
    return dims[1] == 4 && dims[2] == 3;
}

core::Structure structure_from_coords(const CoordsArray& coords, const std::string& chain_id) {
    PyArrayObject* array = as_array(coords);
    const npy_intp length = PyArray_DIMS(array)[0];
    const npy_intp* strides = PyArray_STRIDES(array);
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    auto point = [&](npy_intp i, npy_intp atom) {
        float xyz[3];
        for (npy_intp k = 0; k < 3; ++k) {
            std::memcpy(&xyz[k], data + i * strides[0] + atom * strides[1] + k * strides[2], sizeof(float));
        }
        return core::Point3{xyz[0], xyz[1], xyz[2]};
    };

    core::Structure structure;
    base::reserve_large(structure.residues, static_cast<std::size_t>(length));
    structure.residues.resize(static_cast<std::size_t>(length));
    for (npy_intp i = 0; i < length; ++i) {
        core::Residue& residue = structure.residues[static_cast<std::size_t>(i)];
        residue.n = point(i, 0);
        residue.ca = point(i, 1);
        residue.c = point(i, 2);
        residue.o = point(i, 3);
        residue.res_name = "ALA";
        residue.amino_acid = 'A';
        residue.chain_id = chain_id;
        residue.seq_id = static_cast<std::int32_t>(i + 1);
        residue.index = static_cast<std::uint64_t>(i);
    }
    // Every residue carries the one chain id: the chains are one run, as grouping would find.
    if (length > 0) structure.chains.push_back(core::Chain{chain_id, 0, static_cast<std::uint64_t>(length)});
    return structure;
}

}  // namespace tarnix::bindings
