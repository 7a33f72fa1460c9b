#include "bindings/tarnix/result.hpp"

#include <cstddef>
#include <new>
#include <utility>

#include "bindings/common/guard.hpp"
#include "core/codes.hpp"

namespace tarnix::bindings {

ResultRecord make_result_record(const core::Structure& structure) {
    ResultRecord record;
    const std::size_t n = structure.residues.size();
    record.sequence.reserve(n);
    record.sequence_c3.reserve(n);
    record.aa_sequence.reserve(n);
    record.residues.reserve(n);
    record.structure_id = structure.id;
    for (std::size_t i = 0; i < n; ++i) {
        const core::Residue& residue = structure.residues[i];
        const char c3 = core::code_c3(residue.ss);
        record.residues.push_back(ResidueRecord{residue.chain_id, residue.phi, residue.psi, i, residue.amino_acid,
                                                residue.ss, c3, residue.seq_id, residue.accessibility});
        record.sequence.push_back(residue.ss);
        record.sequence_c3.push_back(c3);
        record.aa_sequence.push_back(residue.amino_acid);
    }
    return record;
}

namespace {

PyTypeObject* tarnix_result_type = nullptr;
PyTypeObject* residue_info_type = nullptr;

struct TarnixResultObject {
    PyObject_HEAD ResultRecord* record;
};

struct ResidueInfoObject {
    PyObject_HEAD ResidueRecord record;
};

PyObject* text(const std::string& value) {
    return PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
}

PyObject* character(char value) { return PyUnicode_FromStringAndSize(&value, 1); }

PyObject* optional_angle(const std::optional<float>& angle) {
    if (!angle) Py_RETURN_NONE;
    return PyFloat_FromDouble(static_cast<double>(*angle));
}

PyObject* no_result_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for TarnixResult");
    return nullptr;
}

PyObject* no_residue_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for ResidueInfo");
    return nullptr;
}

// ResidueInfo

const ResidueRecord& residue_of(PyObject* self) { return reinterpret_cast<ResidueInfoObject*>(self)->record; }

PyObject* residue_index(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(residue_of(self).index); }
PyObject* residue_chain_id(PyObject* self, void*) { return text(residue_of(self).chain_id); }
PyObject* residue_seq_id(PyObject* self, void*) { return PyLong_FromLong(residue_of(self).seq_id); }
PyObject* residue_amino_acid(PyObject* self, void*) { return character(residue_of(self).amino_acid); }
PyObject* residue_structure(PyObject* self, void*) { return character(residue_of(self).structure); }
PyObject* residue_structure_c3(PyObject* self, void*) { return character(residue_of(self).structure_c3); }
PyObject* residue_phi(PyObject* self, void*) { return optional_angle(residue_of(self).phi); }
PyObject* residue_psi(PyObject* self, void*) { return optional_angle(residue_of(self).psi); }
PyObject* residue_accessibility(PyObject* self, void*) {
    return PyFloat_FromDouble(static_cast<double>(residue_of(self).accessibility));
}

void residue_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ResidueInfoObject*>(self)->record.~ResidueRecord();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* residue_repr(PyObject* self) {
    return guarded([self] {
        const ResidueRecord& r = residue_of(self);
        return text("ResidueInfo(" + r.chain_id + ":" + std::to_string(r.seq_id) + ", " + r.amino_acid + ", " +
                    r.structure + ")");
    });
}

PyGetSetDef residue_getset[] = {
    {"index", residue_index, nullptr, nullptr, nullptr},
    {"chain_id", residue_chain_id, nullptr, nullptr, nullptr},
    {"seq_id", residue_seq_id, nullptr, nullptr, nullptr},
    {"amino_acid", residue_amino_acid, nullptr, nullptr, nullptr},
    {"structure", residue_structure, nullptr, nullptr, nullptr},
    {"structure_c3", residue_structure_c3, nullptr, nullptr, nullptr},
    {"phi", residue_phi, nullptr, nullptr, nullptr},
    {"psi", residue_psi, nullptr, nullptr, nullptr},
    {"accessibility", residue_accessibility, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot residue_slots[] = {
    {Py_tp_doc, const_cast<char*>("Information about a single residue")},
    {Py_tp_new, reinterpret_cast<void*>(no_residue_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(residue_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(residue_repr)},
    {Py_tp_getset, residue_getset},
    {0, nullptr},
};

PyType_Spec residue_spec = {"tarnix.ResidueInfo", sizeof(ResidueInfoObject), 0, Py_TPFLAGS_DEFAULT, residue_slots};

// Copies before allocating, so that a failed copy leaves no half-built object behind.
PyObject* new_residue_info(const ResidueRecord& record) {
    ResidueRecord copy(record);
    PyObject* self = residue_info_type->tp_alloc(residue_info_type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<ResidueInfoObject*>(self)->record) ResidueRecord(std::move(copy));
    return self;
}

// TarnixResult

const ResultRecord& result_of(PyObject* self) { return *reinterpret_cast<TarnixResultObject*>(self)->record; }

PyObject* result_sequence(PyObject* self, void*) { return text(result_of(self).sequence); }
PyObject* result_sequence_c3(PyObject* self, void*) { return text(result_of(self).sequence_c3); }
PyObject* result_aa_sequence(PyObject* self, void*) { return text(result_of(self).aa_sequence); }
PyObject* result_structure_id(PyObject* self, void*) { return text(result_of(self).structure_id); }
PyObject* result_residue_count(PyObject* self, void*) { return PyLong_FromSize_t(result_of(self).residues.size()); }

PyObject* result_residues(PyObject* self, void*) {
    return guarded([self]() -> PyObject* {
        const auto& residues = result_of(self).residues;
        PyRef list(PyList_New(static_cast<Py_ssize_t>(residues.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < residues.size(); ++i) {
            PyObject* item = new_residue_info(residues[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

Py_ssize_t result_length(PyObject* self) { return static_cast<Py_ssize_t>(result_of(self).residues.size()); }

PyObject* result_repr(PyObject* self) {
    return guarded([self] {
        const ResultRecord& r = result_of(self);
        constexpr std::size_t kShownCodes = 50;
        std::string shown = r.sequence.size() <= kShownCodes ? r.sequence : r.sequence.substr(0, kShownCodes) + "...";
        return text("TarnixResult(id='" + r.structure_id + "', residues=" + std::to_string(r.residues.size()) +
                    ", sequence='" + shown + "')");
    });
}

void result_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<TarnixResultObject*>(self)->record;
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef result_getset[] = {
    {"sequence", result_sequence, nullptr, "Secondary structure sequence (C8)", nullptr},
    {"sequence_c3", result_sequence_c3, nullptr, "Secondary structure sequence (C3: H, E, -)", nullptr},
    {"aa_sequence", result_aa_sequence, nullptr, "Amino acid sequence", nullptr},
    {"structure_id", result_structure_id, nullptr, "Structure identifier", nullptr},
    {"residue_count", result_residue_count, nullptr, "Number of residues", nullptr},
    {"residues", result_residues, nullptr, "Get residue information", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_doc, const_cast<char*>("TARNIX calculation result")},
    {Py_tp_new, reinterpret_cast<void*>(no_result_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {Py_sq_length, reinterpret_cast<void*>(result_length)},
    {0, nullptr},
};

PyType_Spec result_spec = {"tarnix.TarnixResult", sizeof(TarnixResultObject), 0, Py_TPFLAGS_DEFAULT, result_slots};

PyObject* create_type(PyType_Spec& type_spec, PyTypeObject*& cached) {
    if (cached == nullptr) {
        cached = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
        if (cached == nullptr) return nullptr;
    }
    Py_INCREF(cached);
    return reinterpret_cast<PyObject*>(cached);
}

}  // namespace

PyObject* tarnix_result_type_object() { return create_type(result_spec, tarnix_result_type); }

PyObject* residue_info_type_object() { return create_type(residue_spec, residue_info_type); }

PyObject* new_tarnix_result(ResultRecord record) {
    auto* owned = new (std::nothrow) ResultRecord(std::move(record));
    if (owned == nullptr) return PyErr_NoMemory();
    PyObject* self = tarnix_result_type->tp_alloc(tarnix_result_type, 0);
    if (self == nullptr) {
        delete owned;
        return nullptr;
    }
    reinterpret_cast<TarnixResultObject*>(self)->record = owned;
    return self;
}

}  // namespace tarnix::bindings
