// Layout of a coroutine object, shared by the coroutine type, the await
// machinery and the exception handlers of bodies.
#pragma once
#include <Python.h>
#include <cstdint>
#include "runtime/task.h"

namespace fb {

struct CoroutineObject {
    PyObject_HEAD
    // The body (cx.def: its names, lines, code) and the per-call record
    // (cx.record, a strong reference emptied when the body ends) are held in
    // cx, where the body reaches them.
    _PyErr_StackItem exc_state;     // exception being handled at the suspension
    PyObject* weakreflist;
    PyObject* classobj;             // always empty for these functions
    PyObject* delegate;             // what the body is awaiting, or null
    sendfunc delegate_send;         // the delegate's native send slot, if any
    PyObject* name;
    PyObject* qualname;
    PyObject* modname;
    PyObject* code;
    PyObject* frame;                // made on first request for cr_frame
    int32_t label;                  // 0 not started, >0 suspended, -1 finished
    char running;
    Ctx cx;
    BodyTask::Handle task;          // the body's C++ coroutine, once started
};

enum : int32_t { LABEL_START = 0, LABEL_DONE = -1 };

extern PyTypeObject* CoroutineType;
extern PyTypeObject* CoroutineWrapperType;

struct CoroutineWrapperObject {
    PyObject_HEAD
    CoroutineObject* coro;
};

// The send core with the running-flag test; the three outcomes, no StopIteration.
PySendResult Coroutine_am_send(PyObject* self, PyObject* value, PyObject** result);
// send(), throw() and close() as Python sees them (StopIteration for a return).
PyObject* Coroutine_send_value(PyObject* self, PyObject* value);
PyObject* Coroutine_throw_args(PyObject* self, PyObject* args);
PyObject* Coroutine_close_now(PyObject* self);
// Takes the pending StopIteration and gives its value (None when it has none).
inline PyObject* take_stop_iteration_value() {
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* v = reinterpret_cast<PyStopIterationObject*>(exc)->value;
    v = Py_NewRef(v ? v : Py_None);
    Py_DECREF(exc);
    return v;
}
// TypeError "cannot pickle ..." for either type.
PyObject* refuse_pickle(PyObject* self);

}  // namespace fb
