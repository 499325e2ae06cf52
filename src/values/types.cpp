#include "values/types.h"
#include <cmath>
#include <cstddef>
#include "core/error.h"

namespace fv {

using fb::check;
using fb::guard;
using fb::Ref;

namespace {

// A coordinate from Python: float or int (not bool), else TypeError.
bool coordinate(PyObject* value, const char* what, double& out) {
    if (PyFloat_Check(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        out = PyLong_AsDouble(value);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();   // too large for a float: refused as not finite
            out = INFINITY;
        }
        return true;
    }
    PyErr_Format(PyExc_TypeError, "GeoPoint %s must be a float, not %T", what, value);
    return false;
}

PyObject* GeoPoint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        static const char* const names[] = {"latitude", "longitude", nullptr};
        PyObject *lat, *lon;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:GeoPoint", names, &lat, &lon)) fb::raise();
        double latitude, longitude;
        if (!coordinate(lat, "latitude", latitude) || !coordinate(lon, "longitude", longitude))
            fb::raise();
        if (const char* problem = geopoint_problem(latitude, longitude)) {
            PyErr_Format(PyExc_ValueError, "%s, not (%R, %R)", problem, lat, lon);
            fb::raise();
        }
        return new_geopoint(type, latitude, longitude).release();
    });
}

// Neither type is collected by the garbage collector: they hold floats or
// strs only, which cannot lead back to them.
void GeoPoint_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

void Reference_dealloc(PyObject* self) noexcept {
    auto* r = reinterpret_cast<ReferenceObject*>(self);
    fb::clear_field(r->name);
    fb::clear_field(r->path);
    GeoPoint_dealloc(self);
}

Ref float_of(double v) { return check(PyFloat_FromDouble(v)); }

PyObject* GeoPoint_repr(PyObject* self) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        auto* g = reinterpret_cast<GeoPointObject*>(self);
        Ref lat = float_of(g->latitude), lon = float_of(g->longitude);
        return check(PyUnicode_FromFormat("GeoPoint(latitude=%R, longitude=%R)", lat.get(),
                                          lon.get())).release();
    });
}

Py_hash_t GeoPoint_hash(PyObject* self) noexcept {
    return guard<Py_hash_t>(-1, [&] {
        auto* g = reinterpret_cast<GeoPointObject*>(self);
        Ref pair = check(Py_BuildValue("(dd)", g->latitude, g->longitude));
        return PyObject_Hash(pair.get());
    });
}

// Equality by value with an object of the same type; no order.
template <class Same>
PyObject* compare(PyObject* self, PyObject* other, int op, Same same) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    int equal = same(self, other);
    if (equal < 0) return nullptr;
    return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* GeoPoint_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return compare(self, other, op, [](PyObject* a, PyObject* b) {
        auto *x = reinterpret_cast<GeoPointObject*>(a), *y = reinterpret_cast<GeoPointObject*>(b);
        return int(x->latitude == y->latitude && x->longitude == y->longitude);
    });
}

PyObject* GeoPoint_reduce(PyObject* self, PyObject*) noexcept {
    auto* g = reinterpret_cast<GeoPointObject*>(self);
    return Py_BuildValue("(O(dd))", Py_TYPE(self), g->latitude, g->longitude);
}

PyMemberDef geopoint_members[] = {
    {"latitude", Py_T_DOUBLE, offsetof(GeoPointObject, latitude), Py_READONLY,
     "Degrees north, in [-90, 90]."},
    {"longitude", Py_T_DOUBLE, offsetof(GeoPointObject, longitude), Py_READONLY,
     "Degrees east, in [-180, 180]."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef geopoint_methods[] = {
    {"__reduce__", GeoPoint_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot geopoint_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "GeoPoint(latitude, longitude)\n--\n\n"
        "A point on the globe, Firestore's geoPointValue: latitude in [-90, 90]\n"
        "and longitude in [-180, 180] degrees, finite floats (ints are taken as\n"
        "floats); anything else is a ValueError. Immutable, equal by value,\n"
        "hashable.")},
    {Py_tp_new, reinterpret_cast<void*>(GeoPoint_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(GeoPoint_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(GeoPoint_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(GeoPoint_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(GeoPoint_richcompare)},
    {Py_tp_members, geopoint_members},
    {Py_tp_methods, geopoint_methods},
    {0, nullptr},
};

// ---------------------------------------------------------------------------

PyObject* Reference_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guard<PyObject*>(nullptr, [&] {
        static const char* const names[] = {"name", nullptr};
        PyObject* name;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:Reference", names, &name)) fb::raise();
        Ref exact = check(PyUnicode_FromObject(name));
        Py_ssize_t path_start;
        if (const char* problem = reference_problem(exact.get(), &path_start)) {
            PyErr_Format(PyExc_ValueError, "%s, not %.200R", problem, name);
            fb::raise();
        }
        return new_reference(type, exact.get(), path_start).release();
    });
}

PyObject* Reference_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("Reference(%R)", reinterpret_cast<ReferenceObject*>(self)->name);
}

Py_hash_t Reference_hash(PyObject* self) noexcept {
    return PyObject_Hash(reinterpret_cast<ReferenceObject*>(self)->name);
}

PyObject* Reference_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return compare(self, other, op, [](PyObject* a, PyObject* b) {
        return PyUnicode_Compare(reinterpret_cast<ReferenceObject*>(a)->name,
                                 reinterpret_cast<ReferenceObject*>(b)->name) == 0 ? 1
               : PyErr_Occurred()                                                ? -1
                                                                                 : 0;
    });
}

PyObject* Reference_reduce(PyObject* self, PyObject*) noexcept {
    return Py_BuildValue("(O(O))", Py_TYPE(self), reinterpret_cast<ReferenceObject*>(self)->name);
}

PyMemberDef reference_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(ReferenceObject, name), Py_READONLY,
     "The full document name, projects/P/databases/D/documents/PATH."},
    {"path", Py_T_OBJECT_EX, offsetof(ReferenceObject, path), Py_READONLY,
     "The document's path, what follows \"/documents/\" in its name."},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef reference_methods[] = {
    {"__reduce__", Reference_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reference_slots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Reference(name)\n--\n\n"
        "A reference to a document, Firestore's referenceValue: its full name\n"
        "projects/P/databases/D/documents/COLLECTION/ID[/COLLECTION/ID...],\n"
        "else ValueError. .name is that name, .path what follows \"/documents/\".\n"
        "Immutable, equal by value, hashable.")},
    {Py_tp_new, reinterpret_cast<void*>(Reference_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reference_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Reference_repr)},
    {Py_tp_hash, reinterpret_cast<void*>(Reference_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(Reference_richcompare)},
    {Py_tp_members, reference_members},
    {Py_tp_methods, reference_methods},
    {0, nullptr},
};

constexpr unsigned type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

}  // namespace

PyType_Spec geopoint_shape = {"tavrin.firestore_values.GeoPoint", sizeof(GeoPointObject), 0,
                             type_flags, geopoint_slots};
PyType_Spec reference_shape = {"tavrin.firestore_values.Reference", sizeof(ReferenceObject), 0,
                              type_flags, reference_slots};

const char* geopoint_problem(double latitude, double longitude) noexcept {
    if (!std::isfinite(latitude) || latitude < -90.0 || latitude > 90.0)
        return "a GeoPoint's latitude must be a finite number in [-90, 90]";
    if (!std::isfinite(longitude) || longitude < -180.0 || longitude > 180.0)
        return "a GeoPoint's longitude must be a finite number in [-180, 180]";
    return nullptr;
}

const char* reference_problem(PyObject* name, Py_ssize_t* path_start) noexcept {
    static const char* const problem =
        "a Reference needs a full document name, "
        "projects/P/databases/D/documents/COLLECTION/ID[/COLLECTION/ID...]";
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    Py_ssize_t i = 0;
    // The fixed words, each followed by one non-empty segment (the words
    // themselves end in "/").
    static const char* const words[] = {"projects/", "databases/", "documents/"};
    for (int k = 0; k < 3; ++k) {
        for (const char* w = words[k]; *w; ++w, ++i)
            if (i >= n || PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(*w)) return problem;
        if (k == 2) break;   // the path follows "documents/"
        const Py_ssize_t start = i;
        while (i < n && PyUnicode_READ(kind, data, i) != '/') ++i;
        if (i == start || i == n) return problem;
        ++i;
    }
    *path_start = i;
    // The path: non-empty segments, collection and id in pairs.
    Py_ssize_t segments = 0, length = 0;
    for (; i <= n; ++i) {
        if (i == n || PyUnicode_READ(kind, data, i) == '/') {
            if (length == 0) return problem;
            ++segments;
            length = 0;
        } else {
            ++length;
        }
    }
    return segments % 2 == 0 ? nullptr : problem;
}

Ref new_geopoint(PyTypeObject* type, double latitude, double longitude) {
    Ref g = check(type->tp_alloc(type, 0));
    auto* p = reinterpret_cast<GeoPointObject*>(g.get());
    p->latitude = latitude;
    p->longitude = longitude;
    return g;
}

Ref new_reference(PyTypeObject* type, PyObject* name, Py_ssize_t path_start) {
    Ref path = check(PyUnicode_Substring(name, path_start, PyUnicode_GET_LENGTH(name)));
    Ref r = check(type->tp_alloc(type, 0));
    auto* p = reinterpret_cast<ReferenceObject*>(r.get());
    p->name = Py_NewRef(name);
    p->path = path.release();
    return r;
}

}  // namespace fv
