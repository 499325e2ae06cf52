// The codec's per-module state: its two types, the names it looks up and the
// keys it writes. Nothing here is shared between module objects, so each
// interpreter that imports the codec gets its own.
#pragma once
#include <Python.h>
// datetime.h declares a static capsule pointer of its own that we never set:
// the codec reads the datetime C API from its module state instead.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#include <datetime.h>
#pragma GCC diagnostic pop

namespace fv {

// Keys of the typed values, in the order of the kinds in decode.cpp, then
// the other names the codec uses.
#define FV_KEYS(X)                                                                  \
    X(nullValue, "nullValue") X(booleanValue, "booleanValue")                        \
    X(integerValue, "integerValue") X(doubleValue, "doubleValue")                    \
    X(timestampValue, "timestampValue") X(stringValue, "stringValue")                \
    X(bytesValue, "bytesValue") X(referenceValue, "referenceValue")                  \
    X(geoPointValue, "geoPointValue") X(arrayValue, "arrayValue")                    \
    X(mapValue, "mapValue") X(fields, "fields") X(values, "values")                  \
    X(latitude, "latitude") X(longitude, "longitude") X(name, "name")                \
    X(utcoffset, "utcoffset") X(nan, "NaN") X(inf, "Infinity") X(neg_inf, "-Infinity")

enum class Key {
#define FV_ENUM(id, text) id,
    FV_KEYS(FV_ENUM)
#undef FV_ENUM
    count
};

struct State {
    PyObject* keys[static_cast<int>(Key::count)];
    PyTypeObject* geopoint_type;
    PyTypeObject* reference_type;
    PyObject* mapping_abc;          // collections.abc.Mapping
    PyObject* datetime_capsule;     // keeps `datetime` alive
    PyDateTime_CAPI* datetime;      // read from that capsule

    PyObject* key(Key k) const { return keys[static_cast<int>(k)]; }
};

inline State* state_of(PyObject* module) { return static_cast<State*>(PyModule_GetState(module)); }

}  // namespace fv
