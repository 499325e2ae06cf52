// One error convention for the whole module.
//
// Inside the module, a failing C API call is turned into a C++ exception of
// type PyError, which means exactly "a Python exception is set". Every entry
// point that CPython calls is noexcept and catches it once (guard()), turning
// it back into NULL / -1. std::bad_alloc becomes MemoryError there.
#pragma once
#include <Python.h>
#include <new>
#include "core/ref.h"

namespace fb {

struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// New reference or throw.
inline Ref check(PyObject* p) {
    if (!p) raise();
    return Ref::steal(p);
}
// -1 means failure; other results pass through.
inline int check_int(int r) {
    if (r < 0) raise();
    return r;
}
inline Py_ssize_t check_size(Py_ssize_t r) {
    if (r < 0 && PyErr_Occurred()) raise();
    return r;
}

// Sets a Python exception for whatever C++ exception is in flight; called
// from inside a catch block.
inline void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        // already set
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "tavrin.firebase: unexpected C++ exception");
    }
}

// Runs f() at an entry point; returns its result, or `fail` with the Python
// exception set.
template <class R, class F>
R guard(R fail, F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        translate_current_exception();
        return fail;
    }
}

}  // namespace fb
