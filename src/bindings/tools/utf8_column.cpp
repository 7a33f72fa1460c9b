#include "bindings/tools/utf8_column.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>

#include "bindings/common/py_ref.hpp"

namespace tarnix::bindings {
namespace {

// Code units in a value: NumPy pads with NUL and keeps NULs inside a value.
std::size_t value_length(const std::uint32_t* value, std::size_t width) {
    while (width > 0 && value[width - 1] == 0) --width;
    return width;
}

// UTF-8 bytes of one code point, or 0 for what UTF-8 cannot hold.
std::size_t encoded_size(std::uint32_t code) {
    if (code < 0x80) return 1;
    if (code < 0x800) return 2;
    if (code >= 0xD800 && code < 0xE000) return 0;
    if (code < 0x10000) return 3;
    return code < 0x110000 ? 4 : 0;
}

char* encode(std::uint32_t code, char* out) {
    const auto byte = [](std::uint32_t bits) { return static_cast<char>(static_cast<unsigned char>(bits)); };
    if (code < 0x80) {
        *out++ = byte(code);
    } else if (code < 0x800) {
        *out++ = byte(0xC0 | (code >> 6));
        *out++ = byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out++ = byte(0xE0 | (code >> 12));
        *out++ = byte(0x80 | ((code >> 6) & 0x3F));
        *out++ = byte(0x80 | (code & 0x3F));
    } else {
        *out++ = byte(0xF0 | (code >> 18));
        *out++ = byte(0x80 | ((code >> 12) & 0x3F));
        *out++ = byte(0x80 | ((code >> 6) & 0x3F));
        *out++ = byte(0x80 | (code & 0x3F));
    }
    return out;
}

// Fills offsets (rows + 1) and returns the data's size, or -1 when it cannot be encoded.
std::int64_t measure(const std::uint32_t* codes, std::size_t rows, std::size_t width, std::int32_t* offsets) {
    std::int64_t total = 0;
    offsets[0] = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        const std::uint32_t* value = codes + row * width;
        const std::size_t length = value_length(value, width);
        std::uint32_t all = 0;
        for (std::size_t k = 0; k < length; ++k) all |= value[k];
        if (all < 0x80) {  // ASCII, the common case: a byte per code unit
            total += static_cast<std::int64_t>(length);
        } else {
            for (std::size_t k = 0; k < length; ++k) {
                const std::size_t size = encoded_size(value[k]);
                if (size == 0) return -1;
                total += static_cast<std::int64_t>(size);
            }
        }
        if (total > std::numeric_limits<std::int32_t>::max()) return -1;
        offsets[row + 1] = static_cast<std::int32_t>(total);
    }
    return total;
}

void fill(const std::uint32_t* codes, std::size_t rows, std::size_t width, const std::int32_t* offsets, char* data) {
    for (std::size_t row = 0; row < rows; ++row) {
        const std::uint32_t* value = codes + row * width;
        char* out = data + offsets[row];
        const std::size_t length = value_length(value, width);
        if (static_cast<std::size_t>(offsets[row + 1] - offsets[row]) == length) {  // ASCII: a byte per code unit
            for (std::size_t k = 0; k < length; ++k) out[k] = static_cast<char>(value[k]);
        } else {
            for (std::size_t k = 0; k < length; ++k) out = encode(value[k], out);
        }
    }
}

}  // namespace

PyObject* utf8_column(PyObject*, PyObject* args) {
    PyObject* source;
    Py_ssize_t width;
    if (!PyArg_ParseTuple(args, "On:utf8_column", &source, &width)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    if (width <= 0 || width > PY_SSIZE_T_MAX / 4 || view.len % (width * 4) != 0) {
        PyErr_SetString(PyExc_ValueError, "utf8_column needs whole rows of width uint32 code units");
        return nullptr;
    }
    const auto* codes = static_cast<const std::uint32_t*>(view.buf);
    const std::size_t rows = static_cast<std::size_t>(view.len / (width * 4));
    PyRef offsets(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((rows + 1) * sizeof(std::int32_t))));
    if (!offsets) return nullptr;
    auto* offset_values = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(offsets.get()));
    // The interpreter lock stays held: the two passes must see the same code units.
    const std::int64_t size = measure(codes, rows, static_cast<std::size_t>(width), offset_values);
    if (size < 0) Py_RETURN_NONE;
    PyRef data(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!data) return nullptr;
    char* out = PyBytes_AS_STRING(data.get());
    fill(codes, rows, static_cast<std::size_t>(width), offset_values, out);
    return PyTuple_Pack(2, offsets.get(), data.get());
}

}  // namespace tarnix::bindings
