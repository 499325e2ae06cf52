// Traceback entries: a frame naming a function, the source "tavrin/firebase"
// and a line, added to the traceback of the exception being raised.
#pragma once
#include <Python.h>

namespace fb {

// Adds one entry for the pending exception. `name` is the function name as
// the entry shows it (a str). If making the entry fails, the failure's
// exception replaces the pending one. Never throws.
void add_traceback(PyObject* name, int line) noexcept;

// The same for an exception that is not pending (one being handled).
inline void add_traceback_to(PyObject* exc, PyObject* name, int line) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetRaisedException(Py_NewRef(exc));
    add_traceback(name, line);
    PyObject* same = PyErr_GetRaisedException();
    Py_XDECREF(same);
    PyErr_SetRaisedException(pending);
}

}  // namespace fb
