// Python values to Firestore's typed values (JSON form) and back.
#pragma once
#include <Python.h>
#include "values/walk.h"

namespace fv {

// One Python value to one typed value, e.g. 3 -> {"integerValue": "3"}.
Ref encode_value(Walk& w, PyObject* value);
// A mapping of field names to Python values, already entered in `w`, to a
// dict of field names to typed values.
Ref encode_fields(Walk& w, PyObject* mapping);
// Whether `value` is a Mapping the codec takes for a map: a dict, or an
// instance of collections.abc.Mapping.
bool is_mapping(State* st, PyObject* value);

// One typed value to its Python value; ValueError for anything that is not
// exactly one known kind with well-formed content.
Ref decode_value(Walk& w, PyObject* typed);
// A dict of field names to typed values (a document's "fields").
Ref decode_fields(Walk& w, PyObject* fields);

}  // namespace fv
