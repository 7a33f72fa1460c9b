// Fixed-width text columns (NumPy 'U': UTF-32 code units, padded with NUL) as Arrow string
// buffers, plain or as a dictionary of the distinct values, without a Python string per row.
#pragma once

#include <Python.h>

namespace tarnix::bindings {

// utf8_column(codes, width, /): codes is a C-contiguous buffer of rows * width uint32 code units.
// Returns (offsets, data) as bytes: rows + 1 int32 offsets into the UTF-8 data, each value
// ending after its last non-NUL code unit; None when a code unit is no Unicode scalar value
// (a lone surrogate) or the data would not fit 32-bit offsets.
PyObject* utf8_column(PyObject* self, PyObject* args);

// dictionary_column(codes, width, /): the same column as an Arrow dictionary. Returns (indices,
// offsets, data) as bytes: rows int32 indices into the distinct values, numbered in order of
// first appearance, whose offsets and data are as utf8_column gives them; None as there, or
// when most values are distinct.
PyObject* dictionary_column(PyObject* self, PyObject* args);

}  // namespace tarnix::bindings
