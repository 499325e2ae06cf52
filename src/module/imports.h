// Import statements as the module's code runs them.
#pragma once
#include <Python.h>
#include "core/error.h"

namespace fb {

// `import NAME`: the module from sys.modules unless it is still initialising,
// else a full import.
Ref import_module(PyObject* name);
// The module that `from MODULE import ...` imports from (level 1: relative to
// the package of the module namespace). `fromlist` is a sequence of names.
Ref import_for_from(PyObject* module_name, int level, PyObject* fromlist);
// One name of `from MODULE import NAME`, with the fallback through sys.modules
// for a submodule and ImportError "cannot import name %S".
Ref import_name(PyObject* module, PyObject* name);
// `from MODULE import NAME` as one statement: the value of NAME.
Ref import_one(PyObject* module_name, int level, PyObject* fromlist, PyObject* name);

}  // namespace fb
