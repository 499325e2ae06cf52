// The module tavrin.firestore_values: its functions, its two types and its
// per-module state. Multi-phase initialisation; every module object has its
// own state and nothing is shared, so it runs without the GIL and in any
// sub-interpreter.
#include <Python.h>
#include "core/error.h"
#include "values/codec.h"
#include "values/types.h"

namespace fv {

using fb::check;
using fb::check_int;
using fb::guard;

namespace {

constexpr const char* root = "<value>";

// Each function: the module's state, the walk, the work.
template <class F>
PyObject* entry(PyObject* module, const char* walk_root, F&& work) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        Walk w(state_of(module), walk_root);
        return work(w).release();
    });
}

PyObject* to_value(PyObject* module, PyObject* value) noexcept {
    return entry(module, root, [&](Walk& w) { return encode_value(w, value); });
}

PyObject* to_fields(PyObject* module, PyObject* mapping) noexcept {
    return entry(module, nullptr, [&](Walk& w) {
        if (!is_mapping(w.st, mapping)) {
            PyErr_Format(PyExc_TypeError, "to_fields() takes a mapping of field names, not %T", mapping);
            fb::raise();
        }
        w.enter_fields(mapping);
        return encode_fields(w, mapping);
    });
}

PyObject* from_value(PyObject* module, PyObject* typed) noexcept {
    return entry(module, root, [&](Walk& w) { return decode_value(w, typed); });
}

// A document's fields: the mapping itself is no level of maps.
Ref fields_decoded(Walk& w, PyObject* fields) {
    if (PyDict_Check(fields)) w.enter_fields(fields);
    return decode_fields(w, fields);
}

PyObject* from_fields(PyObject* module, PyObject* fields) noexcept {
    return entry(module, nullptr, [&](Walk& w) { return fields_decoded(w, fields); });
}

// A document's member `key` as a strong reference (empty when absent);
// ValueError when the document is no dict.
Ref member(PyObject* document, PyObject* key, const char* function) {
    if (!PyDict_Check(document)) {
        PyErr_Format(PyExc_ValueError, "%s() takes a document (a dict), not %T", function, document);
        fb::raise();
    }
    PyObject* raw = nullptr;
    check_int(PyDict_GetItemRef(document, key, &raw));
    return Ref::steal(raw);
}

PyObject* from_document(PyObject* module, PyObject* document) noexcept {
    return entry(module, nullptr, [&](Walk& w) {
        Ref fields = member(document, w.st->key(Key::fields), "from_document");
        if (!fields) return check(PyDict_New());
        return fields_decoded(w, fields.get());
    });
}

PyObject* document_id(PyObject* module, PyObject* document) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        Ref name = member(document, state_of(module)->key(Key::name), "document_id");
        if (!name || !PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_ValueError, "the document has no name: %.200R", document);
            fb::raise();
        }
        const Py_ssize_t n = PyUnicode_GET_LENGTH(name.get());
        const Py_ssize_t slash = PyUnicode_FindChar(name.get(), '/', 0, n, -1);
        if (slash == -2) fb::raise();
        if (slash < 0 || slash == n - 1) {
            PyErr_Format(PyExc_ValueError, "not a document name: %.200R", name.get());
            fb::raise();
        }
        return check(PyUnicode_Substring(name.get(), slash + 1, n)).release();
    });
}

PyMethodDef functions[] = {
    {"to_value", to_value, METH_O,
     "to_value(value, /)\n--\n\n"
     "One Python value as one Firestore typed value, e.g. 3 -> {\"integerValue\": \"3\"}.\n\n"
     "None, bool, int (64 bits), float (NaN and infinities as text), str, bytes,\n"
     "bytearray and memoryview (base64), an aware datetime (UTC with Z), GeoPoint,\n"
     "Reference, a Mapping with str keys, a list or tuple. TypeError for any other\n"
     "type (date and time included); ValueError for a naive datetime, an int\n"
     "outside 64 bits, an array directly inside an array, maps and arrays nested\n"
     "deeper than 20 levels, or a value that contains itself. Errors name where\n"
     "the value sits, from the root <value>: \"<value>.tags[2]: ...\"."},
    {"to_fields", to_fields, METH_O,
     "to_fields(mapping, /)\n--\n\n"
     "A mapping of field names to Python values as the typed fields that\n"
     "create_document, overwrite_document and update_document take. Each value\n"
     "as to_value converts it; errors name the field: \"note.tags[2]: ...\"."},
    {"from_value", from_value, METH_O,
     "from_value(typed, /)\n--\n\n"
     "One Firestore typed value as its Python value: integerValue -> int,\n"
     "doubleValue -> float, timestampValue -> an aware datetime in UTC,\n"
     "bytesValue -> bytes, geoPointValue -> GeoPoint, referenceValue ->\n"
     "Reference, arrayValue -> list, mapValue -> dict, and so on. ValueError,\n"
     "naming where it sits, for anything that is not exactly one known kind with\n"
     "well-formed content."},
    {"from_fields", from_fields, METH_O,
     "from_fields(fields, /)\n--\n\n"
     "A dict of field names to typed values (a document's \"fields\") as a dict of\n"
     "field names to Python values."},
    {"from_document", from_document, METH_O,
     "from_document(document, /)\n--\n\n"
     "The fields of a document, as get_document (or create, overwrite, update)\n"
     "returns it, as Python values; {} when it has none."},
    {"document_id", document_id, METH_O,
     "document_id(document, /)\n--\n\n"
     "The last segment of a document's \"name\": the id of a document, also one\n"
     "the service chose."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------

void exec_steps(PyObject* module) {
    State* st = state_of(module);
    static const char* const key_texts[] = {
#define FV_TEXT(id, text) text,
        FV_KEYS(FV_TEXT)
#undef FV_TEXT
    };
    for (int i = 0; i < static_cast<int>(Key::count); ++i)
        st->keys[i] = check(PyUnicode_InternFromString(key_texts[i])).release();

    Ref datetime = check(PyImport_ImportModule("datetime"));
    st->datetime_capsule = check(PyObject_GetAttrString(datetime.get(), "datetime_CAPI")).release();
    st->datetime = static_cast<PyDateTime_CAPI*>(
        PyCapsule_GetPointer(st->datetime_capsule, PyDateTime_CAPSULE_NAME));
    if (!st->datetime) fb::raise();

    Ref abc = check(PyImport_ImportModule("collections.abc"));
    st->mapping_abc = check(PyObject_GetAttrString(abc.get(), "Mapping")).release();

    struct TypeRow {
        PyType_Spec* shape;
        PyTypeObject** slot;
    };
    for (const TypeRow& row : {TypeRow{&geopoint_shape, &st->geopoint_type},
                               TypeRow{&reference_shape, &st->reference_type}}) {
        *row.slot = reinterpret_cast<PyTypeObject*>(
            check(PyType_FromModuleAndSpec(module, row.shape, nullptr)).release());
        check_int(PyModule_AddType(module, *row.slot));
    }
}

int exec_module(PyObject* module) noexcept {
    return guard<int>(-1, [&] { exec_steps(module); return 0; });
}

// The state's references, for the garbage collector and the end.
template <class F>
void each_reference(State* st, F&& f) {
    for (PyObject*& k : st->keys) f(k);
    for (PyTypeObject** type : {&st->geopoint_type, &st->reference_type}) {
        PyObject* p = reinterpret_cast<PyObject*>(*type);
        f(p);
        *type = reinterpret_cast<PyTypeObject*>(p);
    }
    f(st->mapping_abc);
    f(st->datetime_capsule);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
    State* st = state_of(module);
    if (!st) return 0;
    int r = 0;
    each_reference(st, [&](PyObject*& p) { if (!r && p) r = visit(p, arg); });
    return r;
}

int clear_module(PyObject* module) noexcept {
    if (State* st = state_of(module)) {
        each_reference(st, [](PyObject*& p) { fb::clear_field(p); });
        st->datetime = nullptr;
    }
    return 0;
}

void free_module(void* module) noexcept { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tavrin.firestore_values",
    "Firestore's typed values (the JSON form of its REST interface) as Python\n"
    "values and back: to_value, to_fields, from_value, from_fields,\n"
    "from_document, document_id, and the types GeoPoint and Reference.",
    sizeof(State),
    functions,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace fv

PyMODINIT_FUNC PyInit_firestore_values(void) noexcept { return PyModuleDef_Init(&fv::module_def); }
