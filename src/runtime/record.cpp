// Per-call record types: one heap type per coroutine function, whose objects
// are a fixed row of strong references (parameters, named locals, values kept
// across awaits). Internal: never published, not instantiable from Python.
#include "runtime/record.h"
#include <cstddef>
#include <string>
#include "core/error.h"

namespace fb {
namespace {

Py_ssize_t slot_count(PyObject* self) {
    return (Py_TYPE(self)->tp_basicsize - static_cast<Py_ssize_t>(offsetof(Record, slot))) /
           static_cast<Py_ssize_t>(sizeof(PyObject*));
}

int Record_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    PyObject** slots = reinterpret_cast<Record*>(self)->slot;
    for (Py_ssize_t i = 0, n = slot_count(self); i < n; ++i) Py_VISIT(slots[i]);
    return 0;
}

int Record_clear(PyObject* self) noexcept {
    PyObject** slots = reinterpret_cast<Record*>(self)->slot;
    for (Py_ssize_t i = 0, n = slot_count(self); i < n; ++i) Py_CLEAR(slots[i]);
    return 0;
}

void Record_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Record_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

PyTypeObject* make_record_type(const FunctionDef& def) {
    // The type copies its name; "tavrin.firebase." makes its __module__.
    std::string name = std::string("tavrin.firebase.") + def.name + "_record";
    PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void*>(&Record_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(&Record_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&Record_dealloc)},
        {0, nullptr},
    };
    PyType_Spec type_spec = {
        name.c_str(),
        static_cast<int>(offsetof(Record, slot) + def.nslots() * sizeof(PyObject*)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
            Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&type_spec)).release());
}

PyObject* Record_New(PyTypeObject* type) {
    Record* r = PyObject_GC_New(Record, type);
    if (!r) return nullptr;
    PyObject** slots = r->slot;
    for (Py_ssize_t i = 0, n = slot_count(reinterpret_cast<PyObject*>(r)); i < n; ++i)
        slots[i] = nullptr;
    PyObject_GC_Track(r);
    return reinterpret_cast<PyObject*>(r);
}

}  // namespace fb
