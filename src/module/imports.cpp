// Import statements as the module's code runs them: at load time and inside
// function bodies, always with the module namespace as globals.
#include "module/imports.h"

#include "module/constants.h"
#include "module/state.h"

namespace fb {

// `import NAME`: the module from sys.modules unless it is still initialising,
// else a full import.
Ref import_module(PyObject* name) {
    PyObject* raw = PyImport_GetModule(name);
    Ref module = Ref::steal(raw);
    if (module.get() == Py_None) module.reset();   // import blocked: let the import say so
    if (module) {
        bool initializing = true;
        PyObject* spec_raw = nullptr;
        int has_spec = PyObject_GetOptionalAttr(module.get(), k::dunder_spec, &spec_raw);
        Ref module_spec = Ref::steal(spec_raw);
        if (has_spec == 0) {
            initializing = false;
        } else if (has_spec > 0) {
            PyObject* flag_raw = nullptr;
            int has_flag = PyObject_GetOptionalAttr(module_spec.get(), k::initializing, &flag_raw);
            Ref flag = Ref::steal(flag_raw);
            if (has_flag == 0) {
                initializing = false;
            } else if (has_flag > 0) {
                int truth = PyObject_IsTrue(flag.get());
                if (truth >= 0) initializing = truth;
            }
        }
        if (PyErr_Occurred()) PyErr_Clear();   // a failed check means: import fully
        if (!initializing) return module;
    } else if (PyErr_Occurred()) {
        PyErr_Clear();
    }
    Ref locals = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(name, g_state.globals, locals.get(), nullptr, 0));
}

// One name of `from MODULE import NAME`.
Ref import_name(PyObject* module, PyObject* name) {
    PyObject* raw = nullptr;
    int found = PyObject_GetOptionalAttr(module, name, &raw);
    if (found > 0) return Ref::steal(raw);
    if (found < 0) raise();
    // A submodule that is imported but not (yet) an attribute of its package.
    PyObject* modname_raw = nullptr;
    int has_name = PyObject_GetOptionalAttr(module, k::dunder_name, &modname_raw);
    Ref modname = Ref::steal(modname_raw);
    if (has_name < 0) PyErr_Clear();
    if (has_name > 0 && PyUnicode_Check(modname.get())) {
        Ref full = check(PyUnicode_FromFormat("%U.%U", modname.get(), name));
        Ref sub = Ref::steal(PyImport_GetModule(full.get()));
        if (sub) return sub;
        if (PyErr_Occurred()) PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    raise();
}

Ref import_for_from(PyObject* module_name, int level, PyObject* fromlist) {
    Ref locals = check(PyDict_New());
    return check(PyImport_ImportModuleLevelObject(module_name, g_state.globals, locals.get(),
                                                  fromlist, level));
}

// Inside a function body there is no locals mapping to pass: None, as the
// interpreter passes for a function's import statement.
Ref import_one(PyObject* module_name, int level, PyObject* fromlist, PyObject* name) {
    Ref module = check(PyImport_ImportModuleLevelObject(module_name, g_state.globals, Py_None,
                                                        fromlist, level));
    return import_name(module.get(), name);
}

}  // namespace fb
