// The `coroutine_wrapper` type: what __await__ returns; every method forwards
// to its coroutine.
#include "runtime/coroutine_object.h"

namespace fb {
namespace {

using Wrapper = CoroutineWrapperObject;

PyObject* coro_of(PyObject* self) { return reinterpret_cast<PyObject*>(reinterpret_cast<Wrapper*>(self)->coro); }

// A send of None, except that a return of None ends the iteration without
// making a StopIteration.
PyObject* CoroutineWrapper_next(PyObject* self) {
    PyObject* v = nullptr;
    PySendResult r = Coroutine_am_send(coro_of(self), Py_None, &v);
    if (r == PYGEN_NEXT) return v;
    if (r == PYGEN_RETURN) {
        if (v != Py_None) {
            if (PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, v))
                PyErr_SetRaisedException(exc);
        }
        Py_DECREF(v);
    }
    return nullptr;
}

PySendResult CoroutineWrapper_am_send(PyObject* self, PyObject* value, PyObject** result) {
    return Coroutine_am_send(coro_of(self), value, result);
}

PyObject* CoroutineWrapper_send(PyObject* self, PyObject* value) {
    return Coroutine_send_value(coro_of(self), value);
}
PyObject* CoroutineWrapper_throw(PyObject* self, PyObject* args) {
    return Coroutine_throw_args(coro_of(self), args);
}
PyObject* CoroutineWrapper_close(PyObject* self, PyObject*) { return Coroutine_close_now(coro_of(self)); }
PyObject* CoroutineWrapper_reduce(PyObject* self, PyObject*) { return refuse_pickle(self); }

PyObject* CoroutineWrapper_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "cannot instantiate type, use 'await coroutine' instead");
    return nullptr;
}

int CoroutineWrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Wrapper*>(self)->coro);
    return 0;
}

int CoroutineWrapper_clear(PyObject* self) {
    PyObject* c = reinterpret_cast<PyObject*>(std::exchange(reinterpret_cast<Wrapper*>(self)->coro, nullptr));
    Py_XDECREF(c);
    return 0;
}

void CoroutineWrapper_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoroutineWrapper_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef wrapper_methods[] = {
    {"send", CoroutineWrapper_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next yielded value or raise StopIteration."},
    {"throw", CoroutineWrapper_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next yielded value or raise StopIteration."},
    {"close", CoroutineWrapper_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", CoroutineWrapper_reduce, METH_O, nullptr},
    {"__reduce__", CoroutineWrapper_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(CoroutineWrapper_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(CoroutineWrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(CoroutineWrapper_clear)},
    {Py_tp_new, reinterpret_cast<void*>(CoroutineWrapper_new)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(CoroutineWrapper_next)},
    {Py_tp_methods, wrapper_methods},
    {Py_am_send, reinterpret_cast<void*>(CoroutineWrapper_am_send)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "tavrin.firebase.coroutine_wrapper",
    sizeof(Wrapper),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    wrapper_slots,
};

}  // namespace

PyTypeObject* make_wrapper_type() {
    return reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&wrapper_spec)).release());
}

}  // namespace fb
