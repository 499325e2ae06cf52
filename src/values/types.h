// GeoPoint and Reference: the two Firestore values that have no Python type
// of their own. Immutable, equal by value, hashable; their repr evaluates
// back to an equal object.
#pragma once
#include <Python.h>
#include "core/ref.h"

namespace fv {

struct GeoPointObject {
    PyObject_HEAD
    double latitude;
    double longitude;
};

struct ReferenceObject {
    PyObject_HEAD
    PyObject* name;   // exact str: projects/P/databases/D/documents/PATH
    PyObject* path;   // exact str: PATH
};

extern PyType_Spec geopoint_shape;
extern PyType_Spec reference_shape;

// What is wrong with a coordinate pair (nullptr: nothing), for a ValueError.
const char* geopoint_problem(double latitude, double longitude) noexcept;
// What is wrong with a document name (nullptr: nothing); the path begins at
// *path_start.
const char* reference_problem(PyObject* name, Py_ssize_t* path_start) noexcept;

// New objects of checked contents; `name` must be an exact str.
fb::Ref new_geopoint(PyTypeObject* type, double latitude, double longitude);
fb::Ref new_reference(PyTypeObject* type, PyObject* name, Py_ssize_t path_start);

}  // namespace fv
