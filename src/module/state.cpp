// Process-wide module state and the module-level name lookup.
#include "module/state.h"
#include "core/error.h"

namespace fb {

ModuleState g_state;

Ref lookup(PyObject* name) {
    Ref value = try_lookup(name);
    if (!value) raise();
    return value;
}

Ref try_lookup(PyObject* name) noexcept {
    PyObject* value = nullptr;
    // The module namespace first; a failing lookup there counts as absent.
    if (g_state.globals) {
        int found = PyDict_GetItemRef(g_state.globals, name, &value);
        if (found > 0) return Ref::steal(value);
        if (found < 0) PyErr_Clear();
    }
    // Then the built-in names; errors other than a missing attribute propagate.
    if (g_state.builtins) {
        int found = PyObject_GetOptionalAttr(g_state.builtins, name, &value);
        if (found > 0) return Ref::steal(value);
        if (found < 0) return {};
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace fb
