// Traceback entries: a frame naming a function, the source "tavrin/firebase"
// and a line, added to the traceback of the exception being raised.
#pragma once
#include <Python.h>

namespace fb {

// Adds one entry for the pending exception. `name` is the function name as
// the entry shows it (a str). If making the entry fails, the failure's
// exception replaces the pending one. Never throws.
void add_traceback(PyObject* name, int line) noexcept;

}  // namespace fb
