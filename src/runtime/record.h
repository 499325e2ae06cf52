// Per-call records: one GC-tracked type per coroutine function, holding every
// parameter, named local and value that must survive a suspension.
#pragma once
#include <Python.h>
#include "module/functions.h"

namespace fb {

struct Record {
    PyObject_HEAD
    PyObject* slot[1];   // really def.nslots() entries
};

// Makes the record type of a coroutine function, while the module loads;
// throws PyError.
PyTypeObject* make_record_type(const FunctionDef& def);
// A fresh record with every slot empty; new reference or NULL.
PyObject* Record_New(PyTypeObject* type);
inline PyObject*& slot(PyObject* record, int i) {
    return reinterpret_cast<Record*>(record)->slot[i];
}

}  // namespace fb
