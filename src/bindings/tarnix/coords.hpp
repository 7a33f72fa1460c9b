// The NumPy backbone array of assign_from_coords: conversion and reading in place.
#pragma once

#include "bindings/common/py_ref.hpp"

#include <string>

#include "core/structure.hpp"

namespace tarnix::bindings {

// A 3-dimensional float32 ndarray, kept alive while it is read.
struct CoordsArray {
    PyRef array;
};

// Accepts an ndarray (or subclass) with exactly 3 dimensions and a float32 element type.
// NumPy is imported on the first call, so that importing tarnix does not need it.
bool convert_coords(PyObject* object, const char* name, CoordsArray& out);

// True when the array's shape is (L, 4, 3).
bool has_backbone_shape(const CoordsArray& coords);

// One residue per row, read through the array's strides (any memory order, negative strides too).
core::Structure structure_from_coords(const CoordsArray& coords, const std::string& chain_id);

}  // namespace tarnix::bindings
