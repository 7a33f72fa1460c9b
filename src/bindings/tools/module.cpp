// tarnix_tools._native: the engine of the companion package. Its Run takes inputs one at a time,
// annotates them on worker threads with the interpreter lock released and hands back flat columns.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/available_processors.hpp"
#include "bindings/common/guard.hpp"
#include "bindings/tools/frames.hpp"
#include "bindings/tools/utf8_column.hpp"
#include "engine/annotate_run.hpp"
#include "engine/spread.hpp"
#include "engine/worker_pool.hpp"
#include "io/formats.hpp"

namespace tarnix::bindings {
namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(100);

bool copy_bytes(PyObject* object, std::string& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) return false;
    out.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return true;
}

// Holds the buffers of in-memory inputs for as long as the run reads them, so that their bytes
// are read where they lie (a 1 GB input is not copied) and cannot be resized meanwhile.
class HeldBuffers {
public:
    HeldBuffers() = default;
    HeldBuffers(const HeldBuffers&) = delete;
    HeldBuffers& operator=(const HeldBuffers&) = delete;
    ~HeldBuffers() {
        for (auto& [place, view] : views_) PyBuffer_Release(&view);
    }

    std::optional<std::string_view> hold(std::size_t place, PyObject* object) {
        Py_buffer view;
        if (PyObject_GetBuffer(object, &view, PyBUF_SIMPLE) < 0) return std::nullopt;
        views_.emplace(place, view);
        return std::string_view(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    }

    void release(std::size_t place) {
        const auto found = views_.find(place);
        if (found == views_.end()) return;
        PyBuffer_Release(&found->second);
        views_.erase(found);
    }

private:
    std::unordered_map<std::size_t, Py_buffer> views_;
};

bool read_u64(PyObject* object, std::uint64_t& out) {
    out = PyLong_AsUnsignedLongLong(object);
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

// The run's own descriptors of the archives whose members it reads where they lie: a duplicate of
// the caller's, taken while the caller holds it open, so that the caller may close its own and a
// file put in the archive's place meanwhile is never read. The members of one archive (one file:
// same device and inode) share one descriptor, as pread keeps no position.
class SharedFiles {
public:
    std::shared_ptr<const io::FileDescriptor> share(PyObject* descriptor) {
        const int fd = PyObject_AsFileDescriptor(descriptor);
        if (fd < 0) return nullptr;
        struct stat status {};
        if (::fstat(fd, &status) != 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return nullptr;
        }
        if (last_ && status.st_dev == device_ && status.st_ino == inode_) return last_;
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (copy < 0) {
            PyErr_SetFromErrno(PyExc_OSError);
            return nullptr;
        }
        last_ = std::make_shared<const io::FileDescriptor>(copy);
        device_ = status.st_dev;
        inode_ = status.st_ino;
        return last_;
    }

private:
    std::shared_ptr<const io::FileDescriptor> last_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// An item is a path as bytes, a (path as bytes, True) pair for a file found by a walk (read only
// when it is a regular file), a (name as bytes, bytes-like content) pair, a (name as bytes, str)
// pair for an input that failed before it got here, or (name as bytes, open file descriptor,
// offset, length) for a range of an open file. `place` is its place in the run.
bool convert_input(PyObject* item, std::size_t place, engine::Input& input, HeldBuffers& buffers,
                   SharedFiles& files) {
    if (PyBytes_Check(item)) return copy_bytes(item, input.name);
    const Py_ssize_t size = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
    if ((size != 2 && size != 4) || !PyBytes_Check(PyTuple_GET_ITEM(item, 0))) {
        PyErr_SetString(PyExc_TypeError, "each input must be a path as bytes or a (bytes, bytes-like) pair");
        return false;
    }
    if (!copy_bytes(PyTuple_GET_ITEM(item, 0), input.name)) return false;
    PyObject* second = PyTuple_GET_ITEM(item, 1);
    if (size == 4) {
        if (!PyLong_Check(second)) {
            PyErr_SetString(PyExc_TypeError, "the file of a range must be an open file descriptor");
            return false;
        }
        engine::FileRange& range = input.range.emplace();
        range.file = files.share(second);
        return range.file && read_u64(PyTuple_GET_ITEM(item, 2), range.offset) &&
               read_u64(PyTuple_GET_ITEM(item, 3), range.length);
    }
    if (PyBool_Check(second)) {
        input.regular_only = second == Py_True;
        return true;
    }
    if (PyUnicode_Check(second)) {
        Py_ssize_t length = 0;
        const char* failure = PyUnicode_AsUTF8AndSize(second, &length);
        if (failure == nullptr) return false;
        input.failure.emplace(failure, static_cast<std::size_t>(length));
        return true;
    }
    input.bytes = buffers.hold(place, second);
    return input.bytes.has_value();
}

PyObject* text(const std::string& value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

// (kind, 1, bytes): one number per input, as NumPy reads the dtype kind ("<" + kind).
template <class T, class Value>
PyObject* number_column(const std::vector<engine::AnnotatedInput>& results, const char* kind, Value value) {
    PyRef data(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(results.size() * sizeof(T))));
    if (!data) return nullptr;
    char* out = PyBytes_AS_STRING(data.get());
    for (const auto& r : results) {
        const T number = static_cast<T>(value(r));
        std::memcpy(out, &number, sizeof number);
        out += sizeof number;
    }
    return Py_BuildValue("(snO)", kind, Py_ssize_t{1}, data.get());
}

// ("U", width, bytes): every input's error text as UTF-32, as wide as the longest (at least one
// character), decoded from UTF-8 with a replacement character for what does not decode.
PyObject* error_column(const std::vector<engine::AnnotatedInput>& results) {
    std::vector<PyRef> errors(results.size());
    Py_ssize_t width = 1;
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].error.empty()) continue;
        errors[i] = PyRef(text(results[i].error));
        if (!errors[i]) return nullptr;
        width = std::max(width, PyUnicode_GET_LENGTH(errors[i].get()));
    }
    const auto row_bytes = static_cast<std::size_t>(width) * 4;
    PyRef data(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(results.size() * row_bytes)));
    if (!data) return nullptr;
    char* out = PyBytes_AS_STRING(data.get());
    std::memset(out, 0, results.size() * row_bytes);
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (errors[i] &&
            PyUnicode_AsUCS4(errors[i].get(), reinterpret_cast<Py_UCS4*>(out + i * row_bytes), width, 0) == nullptr) {
            return nullptr;
        }
    }
    return Py_BuildValue("(snO)", "U", width, data.get());
}

// {name: (kind, width, bytes)}: what the run found of each input (or model), in input order;
// Python makes the table of structures from these and the inputs' names.
PyObject* structure_columns(const std::vector<engine::AnnotatedInput>& results) {
    using Result = engine::AnnotatedInput;
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const auto add = [&](const char* name, PyObject* made) {
        PyRef column(made);
        return column && PyDict_SetItemString(dict.get(), name, column.get()) == 0;
    };
    const bool made =
        add("source", number_column<std::int64_t>(results, "i8", [](const Result& r) { return r.source; })) &&
        add("model", number_column<std::int32_t>(results, "i4", [](const Result& r) { return r.model; })) &&
        add("error", error_column(results)) &&
        add("no_protein", number_column<bool>(results, "b1", [](const Result& r) { return r.no_protein; })) &&
        add("residue_count",
            number_column<std::int32_t>(results, "i4", [](const Result& r) { return r.residues.rows; })) &&
        add("chain_count", number_column<std::int32_t>(results, "i4", [](const Result& r) { return r.chain_count; })) &&
        add("helix_residues",
            number_column<std::int64_t>(results, "i8", [](const Result& r) { return r.helix_residues; })) &&
        add("strand_residues",
            number_column<std::int64_t>(results, "i8", [](const Result& r) { return r.strand_residues; })) &&
        add("accessibility_total",
            number_column<double>(results, "f8", [](const Result& r) { return r.accessibility_total; })) &&
        add("seconds", number_column<double>(results, "f8", [](const Result& r) { return r.seconds; }));
    if (!made) return nullptr;
    return dict.release();
}

const char* kind_code(engine::ColumnKind kind) {
    switch (kind) {
        case engine::ColumnKind::int32: return "i4";
        case engine::ColumnKind::float32: return "f4";
        case engine::ColumnKind::text: break;
    }
    return "U";
}

// Copies column c of every input's residue rows into out, widening text to width.
void gather_column(const std::vector<engine::AnnotatedInput>& results, std::size_t c, std::size_t width,
                   std::uint32_t* out) {
    for (const auto& r : results) {
        const engine::Column& column = r.residues.columns[c];
        if (column.width == width) {
            if (!column.values.empty()) std::memcpy(out, column.values.data(), column.values.size() * 4);
            out += column.values.size();
            continue;
        }
        for (std::size_t row = 0; row < r.residues.rows; ++row) {
            std::memcpy(out, column.values.data() + row * column.width, column.width * 4);
            std::memset(out + column.width, 0, (width - column.width) * 4);
            out += width;
        }
    }
}

// {name: (kind, width, bytes)}: every input's residue rows, in input order, one buffer a column.
// Large tables are gathered a column per thread, so that the caller, who waits for them, is not
// left behind the run's workers.
PyObject* residue_columns(const std::vector<engine::AnnotatedInput>& results, std::size_t threads) {
    constexpr std::size_t kCount = engine::kResidueColumns.size();
    constexpr std::size_t kParallelBytes = std::size_t{1} << 18;  // below, starting a thread costs more
    std::size_t rows = 0;
    std::array<std::size_t, kCount> widths{};
    widths.fill(1);
    for (const auto& r : results) {
        rows += r.residues.rows;
        for (std::size_t c = 0; c < kCount; ++c) widths[c] = std::max(widths[c], r.residues.columns[c].width);
    }
    std::array<PyRef, kCount> buffers;
    std::array<std::uint32_t*, kCount> starts{};
    std::size_t bytes = 0;
    for (std::size_t c = 0; c < kCount; ++c) {
        buffers[c] = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * widths[c] * 4)));
        if (!buffers[c]) return nullptr;
        starts[c] = reinterpret_cast<std::uint32_t*>(PyBytes_AS_STRING(buffers[c].get()));
        bytes += rows * widths[c] * 4;
    }
    const auto gather = [&](std::size_t c) { gather_column(results, c, widths[c], starts[c]); };
    Py_BEGIN_ALLOW_THREADS bool gathered = false;
    if (threads > 1 && bytes >= kParallelBytes) {
        try {
            engine::spread_over(threads - 1)(kCount, gather);
            gathered = true;
        } catch (...) {
            // No exception may cross the released interpreter lock; gathering again is harmless.
        }
    }
    if (!gathered) {
        for (std::size_t c = 0; c < kCount; ++c) gather(c);
    }
    Py_END_ALLOW_THREADS PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t c = 0; c < kCount; ++c) {
        PyRef entry(Py_BuildValue("(snO)", kind_code(engine::kResidueColumns[c].kind),
                                  static_cast<Py_ssize_t>(widths[c]), buffers[c].get()));
        if (!entry || PyDict_SetItemString(dict.get(), engine::kResidueColumns[c].name, entry.get()) < 0) {
            return nullptr;
        }
    }
    return dict.release();
}

// What a run was asked for.
struct RunArguments {
    engine::AnnotateOptions options;
    std::size_t workers = 1;
};

bool run_arguments(PyObject* args, Py_ssize_t threads, int sasa, unsigned long long ppii_stretch, const char* format,
                   Py_ssize_t format_index, unsigned long long max_bytes, int every_model, RunArguments& out) {
    out.options.assign.calculate_sasa = sasa != 0;
    out.options.assign.ppii_stretch = ppii_stretch;
    out.options.max_bytes = max_bytes;
    out.options.every_model = every_model != 0;
    if (format != nullptr) {
        out.options.format = io::format_named(format);
        if (!out.options.format) {
            PyErr_Format(PyExc_ValueError, "unknown input format %R", PyTuple_GET_ITEM(args, format_index));
            return false;
        }
    }
    out.workers = threads > 0 ? static_cast<std::size_t>(threads) : base::available_processors();
    return true;
}

// A run fed from Python: the inputs' held buffers, and the progress callback. The run is declared
// after the buffers, so destroyed before them: its workers read those bytes.
class FedRun {
public:
    FedRun(const RunArguments& arguments, engine::RunWindow window, PyObject* progress)
        : workers_(arguments.workers),
          progress_(PyRef::borrowed(progress == Py_None ? nullptr : progress)),
          run_(arguments.options, 0, arguments.workers, window) {}

    // Queues an item, waiting (interpreter lock released) while the window is full.
    bool add(PyObject* item) {
        release_done();
        engine::Input input;
        if (!convert_input(item, added_, input, buffers_, files_)) {
            buffers_.release(added_);
            return false;
        }
        const std::size_t bytes = input.bytes ? input.bytes->size() : 0;
        if (!run_.wait_for_room(bytes, std::chrono::milliseconds(0)) &&
            !wait([&](std::chrono::milliseconds slice) { return run_.wait_for_room(bytes, slice); }, false)) {
            buffers_.release(added_);
            return false;
        }
        run_.add(std::move(input));
        ++added_;
        return true;
    }

    void close() { run_.close(); }
    std::size_t ready() const { return run_.ready(); }

    // (structure columns, residue columns) of the next `count` inputs, once they are done.
    PyObject* take(std::size_t count) {
        if (!wait([&](std::chrono::milliseconds slice) { return run_.wait_for(count, slice); }, true)) return nullptr;
        const std::vector<engine::AnnotatedInput> results = run_.take(count);
        PyRef structures(structure_columns(results));
        if (!structures) return nullptr;
        PyRef residues(residue_columns(results, workers_));
        if (!residues) return nullptr;
        return PyTuple_Pack(2, structures.get(), residues.get());
    }

private:
    void release_done() {
        for (const std::size_t place : run_.take_released()) buffers_.release(place);
    }

    // Waits in slices, answering Ctrl-C and reporting progress between them (always once more
    // when `report_end` and the wait is over); false with the exception set when interrupted.
    template <class Slice>
    bool wait(Slice slice, bool report_end) {
        for (;;) {
            bool finished;
            Py_BEGIN_ALLOW_THREADS finished = slice(kWaitSlice);
            Py_END_ALLOW_THREADS release_done();
            if (PyErr_CheckSignals() < 0) return false;
            if (progress_) {
                const std::size_t done = run_.done();
                if (done != reported_ || (finished && report_end)) {
                    reported_ = done;
                    PyRef ignored(PyObject_CallFunction(progress_.get(), "nK", static_cast<Py_ssize_t>(done),
                                                        static_cast<unsigned long long>(run_.residues_done())));
                    if (!ignored) return false;
                }
            }
            if (finished) return true;
        }
    }

    std::size_t workers_;
    std::size_t added_ = 0;
    std::size_t reported_ = 0;
    PyRef progress_;
    HeldBuffers buffers_;
    SharedFiles files_;
    engine::AnnotateRun run_;
};

// _native.Run: a run whose inputs are added one at a time, and whose results are taken in input
// order, a number of inputs at a time.
struct RunObject {
    PyObject_HEAD
    FedRun* run;
};

FedRun* live_run(PyObject* self) {
    FedRun* run = reinterpret_cast<RunObject*>(self)->run;
    if (run == nullptr) PyErr_SetString(PyExc_ValueError, "the run was cancelled");
    return run;
}

PyObject* run_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_SetString(PyExc_TypeError, "Run takes no keyword arguments");
        return nullptr;
    }
    Py_ssize_t threads = 0;
    int sasa = 1;
    unsigned long long ppii_stretch = 3;
    const char* format = nullptr;
    unsigned long long max_bytes = 0;
    PyObject* progress = Py_None;
    int every_model = 0;
    Py_ssize_t window_inputs = 0;
    Py_ssize_t window_bytes = 0;
    if (!PyArg_ParseTuple(args, "npKzKOpnn:Run", &threads, &sasa, &ppii_stretch, &format, &max_bytes,
                          &progress, &every_model, &window_inputs, &window_bytes)) {
        return nullptr;
    }
    RunArguments arguments;
    if (!run_arguments(args, threads, sasa, ppii_stretch, format, 3, max_bytes, every_model, arguments)) return nullptr;
    const engine::RunWindow window{static_cast<std::size_t>(std::max<Py_ssize_t>(1, window_inputs)),
                                   static_cast<std::size_t>(std::max<Py_ssize_t>(0, window_bytes))};
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    return guarded([&]() -> PyObject* {
        reinterpret_cast<RunObject*>(self.get())->run = new FedRun(arguments, window, progress);
        return self.release();
    });
}

void run_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete std::exchange(reinterpret_cast<RunObject*>(self)->run, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* run_add(PyObject* self, PyObject* item) {
    return guarded([&]() -> PyObject* {
        FedRun* run = live_run(self);
        if (run == nullptr || !run->add(item)) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* run_close(PyObject* self, PyObject*) {
    FedRun* run = live_run(self);
    if (run == nullptr) return nullptr;
    run->close();
    Py_RETURN_NONE;
}

PyObject* run_ready(PyObject* self, PyObject*) {
    FedRun* run = live_run(self);
    return run == nullptr ? nullptr : PyLong_FromSize_t(run->ready());
}

PyObject* run_take(PyObject* self, PyObject* count) {
    return guarded([&]() -> PyObject* {
        FedRun* run = live_run(self);
        if (run == nullptr) return nullptr;
        const Py_ssize_t wanted = PyLong_AsSsize_t(count);
        if (wanted < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "count must not be negative");
            return nullptr;
        }
        return run->take(static_cast<std::size_t>(wanted));
    });
}

PyObject* run_cancel(PyObject* self, PyObject*) {
    delete std::exchange(reinterpret_cast<RunObject*>(self)->run, nullptr);
    Py_RETURN_NONE;
}

PyMethodDef run_methods[] = {
    {"add", run_add, METH_O, "add($self, item, /)\n--\n\nQueue an input, waiting while the window is full."},
    {"close", run_close, METH_NOARGS, "close($self, /)\n--\n\nNo more inputs will be added."},
    {"ready", run_ready, METH_NOARGS, "ready($self, /)\n--\n\nHow many inputs in a row, not yet taken, are done."},
    {"take", run_take, METH_O,
     "take($self, count, /)\n--\n\nWait for the next count inputs: (per-structure columns, residue columns),\n"
     "each {name: (kind, width, bytes)}."},
    {"cancel", run_cancel, METH_NOARGS,
     "cancel($self, /)\n--\n\nStop the run; returns once no worker reads an added input's bytes."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(run_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(run_dealloc)},
    {Py_tp_methods, run_methods},
    {Py_tp_doc, const_cast<char*>(
                    "Run(threads, sasa, ppii_stretch, format, max_bytes, progress, every_model,\n"
                    "    window_inputs, window_bytes, /)\n--\n\n"
                    "A run fed one input at a time: at most window_inputs inputs, and window_bytes in-memory\n"
                    "bytes, added and not yet done. progress, when not None, is called with (inputs done,\n"
                    "residues done) on the calling thread while it waits.")},
    {0, nullptr},
};

PyType_Spec run_spec = {"tarnix_tools._native.Run", sizeof(RunObject), 0, Py_TPFLAGS_DEFAULT, run_slots};

PyMethodDef functions[] = {
    {"layout", frame_layout, METH_VARARGS,
     "layout(atom_names, residue_names, chain_ids, seq_ids, insertion_codes, alt_locs, /)\n--\n\n"
     "The residues of a topology as the PDB reader finds them: (layout, the atoms used as uint32\n"
     "bytes, (chain_ids, seq_ids, residue_names, insertion_codes))."},
    {"max_accessibilities", max_accessibilities, METH_O,
     "max_accessibilities(residue_names, /)\n--\n\n"
     "The maximum accessibility of each residue name, as annotate's rsa divides by it: float32\n"
     "bytes, NaN for a residue type without one."},
    {"frames", frames, METH_VARARGS,
     "frames(layout, positions, count, first_frame, frame_step, sasa, ppii_stretch, threads, /)\n--\n\n"
     "Codes, phi, psi and accessibility of count frames of float32 positions (count, atoms, 3),\n"
     "numbered first_frame + k * frame_step in messages, on worker threads: (codes, codes_c3, phi,\n"
     "psi, accessibility or None) as bytes."},
    {"utf8_column", utf8_column, METH_VARARGS,
     "utf8_column(codes, width, /)\n--\n\n"
     "A fixed-width text column (rows * width uint32 code units, NUL-padded) as Arrow string\n"
     "buffers: (int32 offsets, UTF-8 data) as bytes, or None when it cannot be encoded."},
    {"dictionary_column", dictionary_column, METH_VARARGS,
     "dictionary_column(codes, width, /)\n--\n\n"
     "The same column as an Arrow dictionary: (int32 indices, offsets, data) as bytes, the distinct\n"
     "values numbered in order of first appearance; None when it cannot be encoded or most values\n"
     "are distinct."},
    {nullptr, nullptr, 0, nullptr},
};

// ((name, description, (suffix, ...)), ...) in the order names are tried.
PyObject* format_list() {
    const auto all = io::formats();
    PyRef list(PyTuple_New(static_cast<Py_ssize_t>(all.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < all.size(); ++i) {
        PyRef suffixes(PyTuple_New(static_cast<Py_ssize_t>(all[i].suffixes.size())));
        if (!suffixes) return nullptr;
        for (std::size_t k = 0; k < all[i].suffixes.size(); ++k) {
            const std::string_view suffix = all[i].suffixes[k];
            PyObject* item = PyUnicode_FromStringAndSize(suffix.data(), static_cast<Py_ssize_t>(suffix.size()));
            if (item == nullptr) return nullptr;
            PyTuple_SET_ITEM(suffixes.get(), static_cast<Py_ssize_t>(k), item);
        }
        PyObject* entry = Py_BuildValue("(s#s#O)", all[i].name.data(), static_cast<Py_ssize_t>(all[i].name.size()),
                                        all[i].description.data(), static_cast<Py_ssize_t>(all[i].description.size()),
                                        suffixes.get());
        if (entry == nullptr) return nullptr;
        PyTuple_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return list.release();
}

// ((name, kind), ...): the residue table's columns in order, as run hands them back.
PyObject* residue_column_list() {
    PyRef list(PyTuple_New(static_cast<Py_ssize_t>(engine::kResidueColumns.size())));
    if (!list) return nullptr;
    for (std::size_t c = 0; c < engine::kResidueColumns.size(); ++c) {
        PyObject* entry =
            Py_BuildValue("(ss)", engine::kResidueColumns[c].name, kind_code(engine::kResidueColumns[c].kind));
        if (entry == nullptr) return nullptr;
        PyTuple_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), entry);
    }
    return list.release();
}

PyObject* internal_error = nullptr;

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tarnix_tools._native",
    "Engine of the tarnix_tools package",
    -1,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The internal-error class is exposed by name, so that callers can catch it by type; the input
// formats, so that the Python package and its command line take them from the engine's list; the
// residue columns, so that an empty table has them without a run; the thread limit, so that every
// caller checks against the pool's.
PyObject* create_module() {
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyObject* error = internal_error_type();
    PyRef list(format_list());
    PyRef residue_columns(residue_column_list());
    PyRef run_type(PyType_FromSpec(&run_spec));
    if (error == nullptr || PyModule_AddObjectRef(module.get(), "InternalError", error) < 0 || !list || !run_type ||
        PyModule_AddObjectRef(module.get(), "Run", run_type.get()) < 0 ||
        PyModule_AddObjectRef(module.get(), "FORMATS", list.get()) < 0 || !residue_columns ||
        PyModule_AddObjectRef(module.get(), "RESIDUE_COLUMNS", residue_columns.get()) < 0 ||
        PyModule_AddStringConstant(module.get(), "GZIP_SUFFIX", std::string(io::kGzipSuffix).c_str()) < 0 ||
        PyModule_AddIntConstant(module.get(), "MAX_THREADS", static_cast<long>(engine::kMaxPoolThreads)) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

PyObject* internal_error_type() {
    if (internal_error == nullptr) {
        internal_error = PyErr_NewException("tarnix_tools.InternalError", PyExc_BaseException, nullptr);
    }
    return internal_error;
}

}  // namespace tarnix::bindings

PyMODINIT_FUNC PyInit__native() { return tarnix::bindings::create_module(); }
