#include "bindings/tools/utf8_column.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "base/hashing.hpp"
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

// The codes of a column given from Python, held for as long as this lives.
class Codes {
public:
    bool get(PyObject* args, const char* format, const char* function) {
        PyObject* source;
        if (!PyArg_ParseTuple(args, format, &source, &width_)) return false;
        if (PyObject_GetBuffer(source, &view_, PyBUF_C_CONTIGUOUS) < 0) return false;
        held_ = true;
        if (width_ <= 0 || width_ > PY_SSIZE_T_MAX / 4 || view_.len % (width_ * 4) != 0) {
            PyErr_Format(PyExc_ValueError, "%s needs whole rows of width uint32 code units", function);
            return false;
        }
        return true;
    }
    ~Codes() {
        if (held_) PyBuffer_Release(&view_);
    }

    const std::uint32_t* data() const { return static_cast<const std::uint32_t*>(view_.buf); }
    std::size_t width() const { return static_cast<std::size_t>(width_); }
    std::size_t rows() const { return static_cast<std::size_t>(view_.len / (width_ * 4)); }

private:
    Py_buffer view_{};
    Py_ssize_t width_ = 0;
    bool held_ = false;
};

// (offsets, data) of rows values of width code units, or None when they cannot be encoded. The
// interpreter lock stays held: the two passes must see the same code units.
PyObject* string_buffers(const std::uint32_t* codes, std::size_t rows, std::size_t width) {
    PyRef offsets(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>((rows + 1) * sizeof(std::int32_t))));
    if (!offsets) return nullptr;
    auto* offset_values = reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(offsets.get()));
    const std::int64_t size = measure(codes, rows, width, offset_values);
    if (size < 0) Py_RETURN_NONE;
    PyRef data(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!data) return nullptr;
    fill(codes, rows, width, offset_values, PyBytes_AS_STRING(data.get()));
    return PyTuple_Pack(2, offsets.get(), data.get());
}

// Numbers each row's value by its first appearance; fills distinct with one row per value.
// Columns come in runs (a residue's name, its chain, its input), so a row is first compared
// with the one before it and only looked up when it differs. Returns false, early, when most
// values are distinct (names of structures, say): a dictionary would not pay. kWidth is the
// width when known at compile time (the codes of one letter or three), 0 when not.
template <std::size_t kWidth>
bool number_values(const std::uint32_t* codes, std::size_t rows, std::size_t given_width, std::int32_t* index,
                   std::vector<std::size_t>& distinct) {
    constexpr std::size_t kFewDistinct = 1024;
    constexpr std::int32_t kEmpty = -1;
    const std::size_t width = kWidth != 0 ? kWidth : given_width;
    const auto same = [width](const std::uint32_t* a, const std::uint32_t* b) {
        if constexpr (kWidth != 0) {
            for (std::size_t k = 0; k < kWidth; ++k) {
                if (a[k] != b[k]) return false;
            }
            return true;
        }
        return std::memcmp(a, b, width * sizeof(std::uint32_t)) == 0;
    };
    std::vector<std::int32_t> table(16, kEmpty);  // a value's number, by the hash of its codes
    const auto slot_of = [&](const std::uint32_t* value) {
        base::Hasher hasher;
        for (std::size_t k = 0; k < width; ++k) hasher.add(value[k]);
        std::size_t slot = hasher.value() & (table.size() - 1);
        while (table[slot] != kEmpty && !same(codes + distinct[table[slot]] * width, value)) {
            slot = (slot + 1) & (table.size() - 1);
        }
        return slot;
    };
    std::array<std::int32_t, 128> ascii;  // one ASCII letter's number, for width 1
    ascii.fill(kEmpty);
    for (std::size_t row = 0; row < rows; ++row) {
        const std::uint32_t* value = codes + row * width;
        if (row > 0 && same(value, value - width)) {
            index[row] = index[row - 1];
            continue;
        }
        if (kWidth == 1 && value[0] < ascii.size() && ascii[value[0]] != kEmpty) {
            index[row] = ascii[value[0]];
            continue;
        }
        std::size_t slot = slot_of(value);
        if (table[slot] == kEmpty) {
            if (2 * (distinct.size() + 1) > table.size()) {  // keep the table at most half full
                table.assign(2 * table.size(), kEmpty);
                for (std::size_t d = 0; d < distinct.size(); ++d) {
                    table[slot_of(codes + distinct[d] * width)] = static_cast<std::int32_t>(d);
                }
                slot = slot_of(value);
            }
            table[slot] = static_cast<std::int32_t>(distinct.size());
            distinct.push_back(row);
            if (distinct.size() > kFewDistinct && 2 * distinct.size() > row + 1) return false;
        }
        index[row] = table[slot];
        if (kWidth == 1 && value[0] < ascii.size()) ascii[value[0]] = index[row];
    }
    return true;
}

bool number_values(const std::uint32_t* codes, std::size_t rows, std::size_t width, std::int32_t* index,
                   std::vector<std::size_t>& distinct) {
    switch (width) {
        case 1: return number_values<1>(codes, rows, width, index, distinct);
        case 2: return number_values<2>(codes, rows, width, index, distinct);
        case 3: return number_values<3>(codes, rows, width, index, distinct);
        case 4: return number_values<4>(codes, rows, width, index, distinct);
        default: return number_values<0>(codes, rows, width, index, distinct);
    }
}

}  // namespace

PyObject* utf8_column(PyObject*, PyObject* args) {
    Codes codes;
    if (!codes.get(args, "On:utf8_column", "utf8_column")) return nullptr;
    return string_buffers(codes.data(), codes.rows(), codes.width());
}

PyObject* dictionary_column(PyObject*, PyObject* args) {
    Codes codes;
    if (!codes.get(args, "On:dictionary_column", "dictionary_column")) return nullptr;
    const std::size_t rows = codes.rows();
    const std::size_t width = codes.width();
    if (rows > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) Py_RETURN_NONE;
    PyRef indices(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(rows * sizeof(std::int32_t))));
    if (!indices) return nullptr;
    std::vector<std::size_t> distinct;
    if (!number_values(codes.data(), rows, width, reinterpret_cast<std::int32_t*>(PyBytes_AS_STRING(indices.get())),
                       distinct)) {
        Py_RETURN_NONE;
    }
    std::vector<std::uint32_t> values(distinct.size() * width);
    for (std::size_t d = 0; d < distinct.size(); ++d) {
        std::memcpy(values.data() + d * width, codes.data() + distinct[d] * width, width * sizeof(std::uint32_t));
    }
    PyRef strings(string_buffers(values.data(), distinct.size(), width));
    if (!strings || strings.get() == Py_None) return strings.release();
    return PyTuple_Pack(3, indices.get(), PyTuple_GET_ITEM(strings.get(), 0), PyTuple_GET_ITEM(strings.get(), 1));
}

}  // namespace tarnix::bindings
