// The frames functions of tarnix_tools._native: a topology's layout, and many frames at once.
#pragma once

#include <Python.h>

namespace tarnix::bindings {

// layout(atom_names, residue_names, chain_ids, seq_ids, insertion_codes, alt_locs, /)
PyObject* frame_layout(PyObject* self, PyObject* args);

// max_accessibilities(residue_names, /): float32 bytes, NaN for a type without a maximum
PyObject* max_accessibilities(PyObject* self, PyObject* names);

// frames(layout, positions, count, first_frame, frame_step, sasa, ppii_stretch, threads, /)
PyObject* frames(PyObject* self, PyObject* args);

}  // namespace tarnix::bindings
