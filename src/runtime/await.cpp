// How a body awaits: the first step of an await, up to the first suspension,
// and the exception state of a body's handlers.
#include "module/constants.h"
#include "runtime/coroutine_object.h"

namespace fb {
namespace {

bool is_coroutine(PyObject* o) {
    if (PyCoro_CheckExact(o) || Py_IS_TYPE(o, CoroutineType)) return true;
    if (!PyGen_CheckExact(o)) return false;
    PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
    bool iterable = code->co_flags & CO_ITERABLE_COROUTINE;
    Py_DECREF(code);
    return iterable;
}

// The iterator that an await of `a` drives; new reference or null.
PyObject* awaitable_iterator(PyObject* a) {
    PyTypeObject* tp = Py_TYPE(a);
    PyObject* it = nullptr;
    if (tp->tp_as_async && tp->tp_as_async->am_await) {
        it = tp->tp_as_async->am_await(a);
    } else if (PyGen_CheckExact(a) && is_coroutine(a)) {
        return Py_NewRef(a);
    } else {
        PyObject* meth = nullptr;
        int found = PyObject_GetOptionalAttr(a, k::dunder_await, &meth);
        if (found < 0) return nullptr;
        if (!found) {
            PyErr_Format(PyExc_TypeError, "object %.200s can't be used in 'await' expression",
                         tp->tp_name);
            return nullptr;
        }
        it = PyObject_CallNoArgs(meth);
        Py_DECREF(meth);
    }
    if (!it) {
        PyObject* cause = PyErr_GetRaisedException();
        PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.200s",
                     tp->tp_name);
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetCause(err, Py_NewRef(cause));
        PyException_SetContext(err, cause);
        PyErr_SetRaisedException(err);
        return nullptr;
    }
    if (is_coroutine(it)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        Py_DECREF(it);
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.200s'",
                     Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

void set_delegate(Ctx& cx, PyObject* d, sendfunc send) {
    CoroutineObject* c = cx.coro;
    set_field(c->delegate, d);
    c->delegate_send = send;
}

// A first send of None straight into `a`'s send slot: no wrapper object and
// no StopIteration for an immediate result. A yield makes `a` the delegate.
Step send_first(Ctx& cx, PyObject* a, sendfunc send, PyObject** result) {
    PyObject* v = nullptr;
    switch (send(a, Py_None, &v)) {
    case PYGEN_NEXT:
        set_delegate(cx, Py_NewRef(a), send);
        cx.yielded = v;
        return Step::yielded;
    case PYGEN_RETURN:
        *result = v;
        return Step::returned;
    default:
        return Step::failed;
    }
}

}  // namespace

Step await_start(Ctx& cx, PyObject* a, PyObject** result) noexcept {
    *result = nullptr;
    if (Py_IS_TYPE(a, CoroutineType)) {
        // Our own coroutine.
        if (reinterpret_cast<CoroutineObject*>(a)->delegate) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return Step::failed;
        }
        return send_first(cx, a, Coroutine_am_send, result);
    }
    if (PyCoro_CheckExact(a)) {
        // A native coroutine (httpx's methods are `async def`), driven
        // through its own send slot as the interpreter's await does.
        return send_first(cx, a, Py_TYPE(a)->tp_as_async->am_send, result);
    }
    PyObject* it = awaitable_iterator(a);
    if (!it) return Step::failed;
    PyObject* v = Py_TYPE(it)->tp_iternext(it);
    if (v) {
        PyTypeObject* tp = Py_TYPE(it);
        set_delegate(cx, it, tp->tp_as_async ? tp->tp_as_async->am_send : nullptr);
        cx.yielded = v;
        return Step::yielded;
    }
    Py_DECREF(it);
    if (!PyErr_Occurred()) {
        *result = Py_NewRef(Py_None);
        return Step::returned;
    }
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return Step::failed;
    *result = take_stop_iteration_value();
    return Step::returned;
}

void handler_enter(Ctx& cx, int exc_slot, int prev_slot) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    set_field(cx.slot(exc_slot), exc);
    _PyErr_StackItem& st = cx.coro->exc_state;
    set_field(cx.slot(prev_slot), std::exchange(st.exc_value, Py_XNewRef(exc)));
}

void handler_leave(Ctx& cx, int prev_slot) noexcept {
    _PyErr_StackItem& st = cx.coro->exc_state;
    set_field(st.exc_value, std::exchange(cx.slot(prev_slot), nullptr));
}

}  // namespace fb
