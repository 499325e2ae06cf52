// The `coroutine` and `coroutine_wrapper` types.
#pragma once
#include <Python.h>
#include "module/functions.h"

namespace fb {

// Makes the two types once per process, while the module loads; throws PyError.
void init_coroutine_types();
// A new coroutine object for `def`, taking over `record` (which it releases on
// failure too). New reference or NULL.
PyObject* Coroutine_New(FunctionDef& def, PyObject* record);

}  // namespace fb
