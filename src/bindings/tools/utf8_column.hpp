// Fixed-width text columns (NumPy 'U': UTF-32 code units, padded with NUL) as Arrow string
// buffers, without a Python string per row.
#pragma once

#include <Python.h>

namespace tarnix::bindings {

// utf8_column(codes, width, /): codes is a C-contiguous buffer of rows * width uint32 code units.
// Returns (offsets, data) as bytes: rows + 1 int32 offsets into the UTF-8 data, each value
// ending after its last non-NUL code unit; None when a code unit is no Unicode scalar value
// (a lone surrogate) or the data would not fit 32-bit offsets.
PyObject* utf8_column(PyObject* self, PyObject* args);

}  // namespace tarnix::bindings
