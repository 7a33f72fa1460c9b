#include "bindings/tools/frames.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/available_processors.hpp"
#include "bindings/common/guard.hpp"
#include "engine/frames.hpp"
#include "engine/relative_accessibility.hpp"
#include "engine/spread.hpp"
#include "engine/worker_pool.hpp"

namespace tarnix::bindings {
namespace {

constexpr const char* kLayoutName = "tarnix_tools._native.FrameLayout";
// Frames computed between two looks at Ctrl-C, per thread: a few hundred milliseconds at most.
constexpr std::size_t kFramesPerSlice = 32;

// A view of item i's UTF-8 text, which lives as long as the string (held by the sequence).
bool text_at(PyObject* sequence, Py_ssize_t i, std::string_view& out) {
    PyObject* item = PySequence_Fast_GET_ITEM(sequence, i);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

void free_layout(PyObject* capsule) {
    delete static_cast<io::FrameLayout*>(PyCapsule_GetPointer(capsule, kLayoutName));
}

PyObject* text(const std::string& value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

// (chain_ids, seq_ids, residue_names, insertion_codes) of the layout's residues, as lists.
PyObject* residue_lists(const io::FrameLayout& layout) {
    const auto& residues = layout.model.residues;
    const auto count = static_cast<Py_ssize_t>(residues.size());
    std::array<PyRef, 4> lists;
    for (auto& list : lists) {
        list = PyRef(PyList_New(count));
        if (!list) return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        const core::Residue& residue = residues[static_cast<std::size_t>(i)];
        const std::array<PyObject*, 4> items{text(residue.chain_id), PyLong_FromLong(residue.seq_id),
                                             text(residue.res_name), text(residue.ins_code)};
        if (std::find(items.begin(), items.end(), nullptr) != items.end()) {
            for (PyObject* item : items) Py_XDECREF(item);
            return nullptr;
        }
        for (std::size_t k = 0; k < items.size(); ++k) PyList_SET_ITEM(lists[k].get(), i, items[k]);
    }
    return PyTuple_Pack(4, lists[0].get(), lists[1].get(), lists[2].get(), lists[3].get());
}

PyObject* frame_layout_unguarded(PyObject* args) {
    PyObject* given[6];
    if (!PyArg_ParseTuple(args, "OOOOOO:layout", &given[0], &given[1], &given[2], &given[3], &given[4], &given[5])) {
        return nullptr;
    }
    std::array<PyRef, 6> lists;
    for (std::size_t k = 0; k < 6; ++k) {
        lists[k] = PyRef(PySequence_Fast(given[k], "layout takes sequences"));
        if (!lists[k]) return nullptr;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(lists[0].get());
    for (const PyRef& list : lists) {
        if (PySequence_Fast_GET_SIZE(list.get()) != count) {
            PyErr_SetString(PyExc_ValueError, "layout takes sequences of one length");
            return nullptr;
        }
    }
    if (static_cast<std::size_t>(count) > io::kMaxTopologyAtoms) {
        PyErr_Format(PyExc_ValueError, "a topology of %zd atoms is more than the %zu this reads", count,
                     io::kMaxTopologyAtoms);
        return nullptr;
    }
    std::vector<io::AtomRecord> atoms(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        io::AtomRecord& atom = atoms[static_cast<std::size_t>(i)];
        if (!text_at(lists[0].get(), i, atom.atom_name) || !text_at(lists[1].get(), i, atom.res_name) ||
            !text_at(lists[2].get(), i, atom.chain_id) || !text_at(lists[4].get(), i, atom.ins_code) ||
            !text_at(lists[5].get(), i, atom.alt_loc)) {
            return nullptr;
        }
        const long seq_id = PyLong_AsLong(PySequence_Fast_GET_ITEM(lists[3].get(), i));
        if (seq_id == -1 && PyErr_Occurred()) return nullptr;
        if (seq_id < INT32_MIN || seq_id > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "a residue number does not fit in 32 bits");
            return nullptr;
        }
        atom.seq_id = static_cast<std::int32_t>(seq_id);
    }
    auto built = io::frame_layout(atoms);
    if (auto* error = std::get_if<io::InputError>(&built)) {
        PyErr_SetString(PyExc_ValueError, "no residue with N, CA, C and O in the topology");
        return nullptr;
    }
    auto layout = std::make_unique<io::FrameLayout>(std::move(std::get<io::FrameLayout>(built)));
    PyRef residues(residue_lists(*layout));
    if (!residues) return nullptr;
    PyRef used(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(layout->used.data()),
                                         static_cast<Py_ssize_t>(layout->used.size() * sizeof(std::uint32_t))));
    if (!used) return nullptr;
    PyRef capsule(PyCapsule_New(layout.get(), kLayoutName, free_layout));
    if (!capsule) return nullptr;
    layout.release();
    return Py_BuildValue("(OOO)", capsule.get(), used.get(), residues.get());
}

PyObject* new_bytes(std::size_t size, char*& data) {
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    data = bytes != nullptr ? PyBytes_AS_STRING(bytes) : nullptr;
    return bytes;
}

PyObject* frames_unguarded(PyObject* args) {
    PyObject* capsule = nullptr;
    Py_buffer positions;
    Py_ssize_t count = 0;
    Py_ssize_t first_frame = 0;
    Py_ssize_t frame_step = 1;
    int sasa = 0;
    unsigned long long ppii_stretch = 3;
    Py_ssize_t threads = 0;
    if (!PyArg_ParseTuple(args, "Oy*nnnpKn:frames", &capsule, &positions, &count, &first_frame, &frame_step, &sasa,
                          &ppii_stretch, &threads)) {
        return nullptr;
    }
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&positions, PyBuffer_Release);
    auto* layout = static_cast<io::FrameLayout*>(PyCapsule_GetPointer(capsule, kLayoutName));
    if (layout == nullptr) return nullptr;
    const std::size_t frames = count > 0 ? static_cast<std::size_t>(count) : 0;
    const std::size_t values = layout->atoms_per_frame * 3;
    if (static_cast<std::size_t>(positions.len) != frames * values * sizeof(float)) {
        PyErr_SetString(PyExc_ValueError, "positions do not hold count frames of the layout's atoms");
        return nullptr;
    }
    const auto* data = static_cast<const float*>(positions.buf);
    if (const auto bad = engine::first_unfinite_frame(data, frames, layout->atoms_per_frame)) {
        PyErr_Format(PyExc_ValueError, "frame %zd has coordinates that are not finite",
                     first_frame + frame_step * static_cast<Py_ssize_t>(*bad));
        return nullptr;
    }
    const std::size_t cells = frames * layout->model.residues.size();
    engine::FrameColumns out;
    char* phi = nullptr;
    char* psi = nullptr;
    char* accessibility = nullptr;
    PyRef codes(new_bytes(cells, out.codes));
    PyRef codes_c3(new_bytes(cells, out.codes_c3));
    PyRef phi_bytes(new_bytes(cells * sizeof(float), phi));
    PyRef psi_bytes(new_bytes(cells * sizeof(float), psi));
    PyRef accessibility_bytes(sasa ? new_bytes(cells * sizeof(float), accessibility) : Py_NewRef(Py_None));
    if (!codes || !codes_c3 || !phi_bytes || !psi_bytes || !accessibility_bytes) return nullptr;
    out.phi = reinterpret_cast<float*>(phi);
    out.psi = reinterpret_cast<float*>(psi);
    out.accessibility = reinterpret_cast<float*>(accessibility);

    core::AssignOptions options;
    options.calculate_sasa = sasa != 0;
    options.ppii_stretch = ppii_stretch;
    // Capped as the pool is, so that the slice below cannot overflow whatever the caller asks.
    const std::size_t workers = std::clamp<std::size_t>(
        threads > 0 ? static_cast<std::size_t>(threads) : base::available_processors(), 1, engine::kMaxPoolThreads);
    const core::ParallelFor parallel_for = engine::spread_over(workers - 1);
    const std::size_t slice = kFramesPerSlice * workers;
    for (std::size_t start = 0; start < frames; start += slice) {
        const std::size_t stop = std::min(frames, start + slice);
        bool failed = false;
        Py_BEGIN_ALLOW_THREADS try {
            parallel_for(stop - start,
                         [&](std::size_t k) { engine::compute_frame(*layout, data, start + k, options, out); });
        } catch (...) {
            // No exception may cross the released interpreter lock.
            failed = true;
        }
        Py_END_ALLOW_THREADS if (failed) return PyErr_NoMemory();
        if (PyErr_CheckSignals() < 0) return nullptr;
    }
    return PyTuple_Pack(5, codes.get(), codes_c3.get(), phi_bytes.get(), psi_bytes.get(), accessibility_bytes.get());
}

}  // namespace

PyObject* frame_layout(PyObject*, PyObject* args) {
    return guarded([&] { return frame_layout_unguarded(args); });
}

PyObject* max_accessibilities(PyObject*, PyObject* names) {
    return guarded([&]() -> PyObject* {
        PyRef list(PySequence_Fast(names, "max_accessibilities takes a sequence of residue names"));
        if (!list) return nullptr;
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(list.get());
        char* data = nullptr;
        PyRef out(new_bytes(static_cast<std::size_t>(count) * sizeof(float), data));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < count; ++i) {
            std::string_view name;
            if (!text_at(list.get(), i, name)) return nullptr;
            const auto maximum = engine::max_accessibility(name);
            const float value = maximum ? *maximum : std::numeric_limits<float>::quiet_NaN();
            std::memcpy(data + static_cast<std::size_t>(i) * sizeof(float), &value, sizeof(float));
        }
        return out.release();
    });
}

PyObject* frames(PyObject*, PyObject* args) {
    return guarded([&] { return frames_unguarded(args); });
}

}  // namespace tarnix::bindings
