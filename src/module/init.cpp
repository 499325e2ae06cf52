// Loading the module: the module definition, its create and exec steps, and
// the module-level statements (imports and function definitions).
#include <Python.h>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include "core/error.h"
#include "module/constants.h"
#include "module/functions.h"
#include "module/imports.h"
#include "module/state.h"
#include "rest/exchange.h"
#include "runtime/coroutine.h"
#include "runtime/traceback.h"

namespace fb {

namespace {

// ---------------------------------------------------------------------------
// Create step.

PyObject* create_module(PyObject* module_spec) {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) raise();
    int64_t recorded = -1;
    if (!std::atomic_ref<int64_t>(g_state.interpreter_id).compare_exchange_strong(recorded, id) &&
        recorded != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        raise();
    }
    if (g_state.module) return Py_NewRef(g_state.module);

    Ref name = check(PyObject_GetAttrString(module_spec, "name"));
    Ref module = check(PyModule_NewObject(name.get()));
    PyObject* dict = PyModule_GetDict(module.get());
    if (!dict) raise();
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;   // copied even when the ModuleSpec holds None
    };
    static const Copy copies[] = {
        {"loader", "__loader__", true},
        {"origin", "__file__", true},
        {"parent", "__package__", true},
        {"submodule_search_locations", "__path__", false},
    };
    for (const Copy& c : copies) {
        PyObject* raw = nullptr;
        int found = PyObject_GetOptionalAttrString(module_spec, c.from, &raw);
        Ref value = Ref::steal(raw);
        if (found < 0) raise();
        if (found == 0 || (!c.none_too && value.get() == Py_None)) continue;
        check_int(PyDict_SetItemString(dict, c.to, value.get()));
    }
    return module.release();
}

PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
    return guard<PyObject*>(nullptr, [&] { return create_module(module_spec); });
}

// ---------------------------------------------------------------------------
// Module-level imports.

// `from MODULE import NAMES` at the given level; binds each name in order.
void import_from(PyObject* module_name, int level, std::initializer_list<PyObject*> names) {
    Ref fromlist = check(PyList_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (PyObject* n : names) PyList_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    Ref module = import_for_from(module_name, level, fromlist.get());
    for (PyObject* n : names) {
        Ref value = import_name(module.get(), n);
        check_int(PyDict_SetItem(g_state.globals, n, value.get()));
    }
}

void bind_import(PyObject* name) {
    Ref module = import_module(name);
    check_int(PyDict_SetItem(g_state.globals, name, module.get()));
}

// ---------------------------------------------------------------------------
// Exec step.

void check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "tavrin.firebase", "does not match", major,
                  minor);
    check_int(PyErr_WarnEx(PyExc_RuntimeWarning, message, 1));
}

// Everything the exec step does after the once-only test, in order; `line`
// tells the failure path which statement ran (0 until the constants exist:
// no traceback entry before that).
void exec_steps(PyObject* module, int& line) {
    // The module, its GIL declaration, its namespace.
    g_state.module = Py_NewRef(module);
#ifdef Py_GIL_DISABLED
    check_int(PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED));
#endif
    PyObject* globals = PyModule_GetDict(module);
    if (!globals) raise();
    g_state.globals = Py_NewRef(globals);

    // builtins.
    if (!g_state.builtins) g_state.builtins = check(PyImport_ImportModule("builtins")).release();
    check_int(PyObject_SetAttrString(module, "__builtins__", g_state.builtins));

    // Version check.
    check_version();

    // Constants.
    k::make_strings();
    k::make_numbers();
    k::ready = true;
    line = 1;

    // The coroutine types.
    init_coroutine_types();

    // sys.modules.
    {
        Ref present = Ref::steal(PyImport_GetModule(k::module_name));
        if (!present) {
            if (PyErr_Occurred()) raise();
            PyObject* modules = PyImport_GetModuleDict();
            check_int(PyObject_SetItem(modules, k::module_name, module));
        }
    }

    // ValueError, fetched once.
    {
        PyObject* raw = nullptr;
        int found = PyObject_GetOptionalAttr(g_state.builtins, k::ValueError, &raw);
        if (found < 0) raise();
        if (found == 0) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", k::ValueError);
            raise();
        }
        set_field(g_state.value_error, raw);
    }

    // Tuples, code objects, record types.
    k::make_tuples();
    make_request_keywords();
    make_function_data();

    // The module's statements, in source order.
    line = 1;
    bind_import(k::base64);
    line = 2;
    bind_import(k::json);
    line = 3;
    bind_import(k::logging);
    line = 4;
    import_from(k::datetime, 0, {k::datetime, k::timezone});
    line = 5;
    import_from(k::typing, 0, {k::Dict, k::Optional});
    line = 6;
    bind_import(k::httpx);
    line = 7;
    import_from(k::httpx, 0, {k::HTTPStatusError});
    line = 8;
    import_from(k::nacl_public, 0, {k::PublicKey, k::SealedBox});
    line = 10;
    import_from(k::env, 1,
                {k::AUTH_HEADER_NAME, k::ENCRYPTED_AUTH_KEY, k::API_VERSION,
                 k::ENCRYPTION_HEADER_NAME, k::SEALED_BOX_SERVER_PUBLIC_KEY_B64});
    line = 17;
    import_from(k::firebase_config, 1,
                {k::FIREBASE_API_KEY, k::FIREBASE_PROJECT_ID, k::FIREBASE_REGION});
    for (int row = 0; row < static_cast<int>(Fn::count); ++row) {
        const FunctionDef& def = function(static_cast<Fn>(row));
        line = def.line;
        Ref f = make_function_object(static_cast<Fn>(row));
        check_int(PyDict_SetItem(g_state.globals, def.py_name, f.get()));
    }

    // __test__.
    Ref test = check(PyDict_New());
    check_int(PyObject_SetAttr(module, k::dunder_test, test.get()));
}

int exec_module(PyObject* module) noexcept {
    // Executed once per process; executing the recorded module again is a no-op.
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'firebase' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    int line = 0;
    if (guard<int>(-1, [&] { exec_steps(module, line); return 0; }) == 0) return 0;
    if (line) add_traceback(k::init_name, line);
    // Forget the module so that a later import starts afresh.
    Ref globals = Ref::steal(std::exchange(g_state.globals, nullptr));
    Ref recorded = Ref::steal(std::exchange(g_state.module, nullptr));
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init tavrin.firebase");
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "firebase",     // m_name
    nullptr,        // m_doc
    0,              // m_size: all state is process-wide
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace
}  // namespace fb

PyMODINIT_FUNC PyInit_firebase(void) noexcept { return PyModuleDef_Init(&fb::module_def); }
