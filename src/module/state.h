// Process-wide module state and the module-level name lookup.
#pragma once
#include <Python.h>
#include <cstdint>
#include "core/ref.h"

namespace fb {

struct ModuleState {
    PyObject* module = nullptr;     // the one module object of the process
    PyObject* globals = nullptr;    // its namespace dict
    PyObject* builtins = nullptr;   // the builtins module
    PyObject* value_error = nullptr;
    int64_t interpreter_id = -1;    // -1: not yet recorded
};
extern ModuleState g_state;

// Module namespace, then builtins, else NameError "name '%U' is not defined".
// Returns a new reference; throws PyError.
Ref lookup(PyObject* name);
// The same, giving an empty Ref with the NameError set instead of throwing.
Ref try_lookup(PyObject* name) noexcept;

}  // namespace fb
