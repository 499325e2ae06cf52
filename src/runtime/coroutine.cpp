// The `coroutine` type: send, throw, close, finalisation and attributes.
#include "runtime/coroutine.h"

#include <cstddef>
#include <new>

#include <frameobject.h>

#include "core/error.h"
#include "module/constants.h"
#include "module/state.h"
#include "runtime/coroutine_object.h"
#include "runtime/traceback.h"

namespace fb {

PyTypeObject* CoroutineType = nullptr;
PyTypeObject* CoroutineWrapperType = nullptr;

namespace {

using Coro = CoroutineObject;

Coro* as_coro(PyObject* o) { return reinterpret_cast<Coro*>(o); }

// ---- running flag -----------------------------------------------------

// Tests and sets the flag in the object's critical section; the body then
// runs outside it.
bool try_enter(Coro* self) {
    bool busy;
    Py_BEGIN_CRITICAL_SECTION(self);
    busy = self->running != 0;
    if (!busy) self->running = 1;
    Py_END_CRITICAL_SECTION();
    if (busy) PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    return !busy;
}

void leave(Coro* self) {
    Py_BEGIN_CRITICAL_SECTION(self);
    self->running = 0;
    Py_END_CRITICAL_SECTION();
}

// ---- finishing ----------------------------------------------------------

void drop_delegate(Coro* self) {
    self->delegate_send = nullptr;
    clear_field(self->delegate);
}

void destroy_task(Coro* self) {
    if (auto h = std::exchange(self->task, {})) h.destroy();
    self->cx.innermost = {};
    clear_field(self->cx.sent);
    clear_field(self->cx.yielded);
}

// The body has ended: release everything it held. Fields are emptied before
// their values are dropped, since a drop may run arbitrary code.
void finish(Coro* self) {
    self->label = LABEL_DONE;
    destroy_task(self);
    clear_field(self->cx.record);
    clear_field(self->name);
    clear_field(self->qualname);
    clear_field(self->modname);
    clear_field(self->code);
    clear_field(self->frame);
    drop_delegate(self);
    clear_field(self->exc_state.exc_value);
}

// An exception leaves the body: a StopIteration becomes RuntimeError, and the
// entry under the bare function name is added at the running statement.
void fail_body(Coro* self, int line) {
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* stop = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        PyObject* err = PyErr_GetRaisedException();
        PyException_SetCause(err, Py_NewRef(stop));
        PyException_SetContext(err, stop);
        PyErr_SetRaisedException(err);
    }
    add_traceback(self->cx.def->py_name, line);
    finish(self);
}

// ---- resuming the body ----------------------------------------------------

// Resumes the body with `value` (owned; null: an exception is pending).
PySendResult resume(Coro* self, PyObject* value, PyObject** out, bool closing = false) {
    *out = nullptr;
    if (self->label == LABEL_DONE) {
        Py_XDECREF(value);
        if (!closing)
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    PyThreadState* ts = PyThreadState_Get();
    self->exc_state.previous_item = ts->exc_info;
    ts->exc_info = &self->exc_state;

    PySendResult r = PYGEN_ERROR;
    bool started = true;
    if (self->label == LABEL_START) {
        if (!value || value != Py_None) {
            if (value) {
                Py_DECREF(value);
                PyErr_SetString(PyExc_TypeError,
                                "can't send non-None value to a just-started coroutine");
            }
            started = false;
        } else {
            Py_DECREF(value);
            value = nullptr;
            try {
                self->task = self->cx.def->coroutine(self->cx).release();
                self->cx.innermost = self->task;
                self->cx.line = self->cx.def->line;
            } catch (...) {
                translate_current_exception();
                started = false;
            }
        }
        if (!started) fail_body(self, self->cx.def->line);
    } else {
        self->cx.sent = value;
    }

    if (started) {
        self->cx.innermost.resume();
        clear_field(self->cx.sent);
        auto& p = self->task.promise();
        if (!self->task.done()) {
            self->label = self->cx.line > 0 ? self->cx.line : 1;
            *out = std::exchange(self->cx.yielded, nullptr);
            r = PYGEN_NEXT;
        } else if (p.failed) {
            fail_body(self, self->cx.line);
        } else {
            *out = std::exchange(p.result, nullptr);
            finish(self);
            r = PYGEN_RETURN;
        }
    }
    ts->exc_info = self->exc_state.previous_item;
    self->exc_state.previous_item = nullptr;
    return r;
}

// A delegate has ended: its value (from StopIteration, or None when it just
// stopped), or null with its exception pending.
PyObject* delegate_result() {
    if (!PyErr_Occurred()) return Py_NewRef(Py_None);
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) return take_stop_iteration_value();
    return nullptr;
}

// Send with the running flag held.
PySendResult send_running(Coro* self, PyObject* value, PyObject** out) {
    if (PyObject* d = self->delegate) {
        PyObject* v = nullptr;
        if (sendfunc send = self->delegate_send) {
            PySendResult r = send(d, value, &v);
            if (r == PYGEN_NEXT) { *out = v; return r; }
            drop_delegate(self);
            return resume(self, r == PYGEN_RETURN ? v : nullptr, out);
        }
        if (value == Py_None && PyIter_Check(d))
            v = Py_TYPE(d)->tp_iternext(d);
        else
            v = PyObject_CallMethodOneArg(d, k::send, value);
        if (v) { *out = v; return PYGEN_NEXT; }
        drop_delegate(self);
        return resume(self, delegate_result(), out);
    }
    return resume(self, Py_NewRef(value), out);
}

// ---- throw and close ----------------------------------------------------

// Makes the exception from throw's arguments, as raise does, and sets it.
void set_thrown(PyObject* typ, PyObject* val, PyObject* tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "raise: arg 3 must be a traceback or None");
        return;
    }
    if (!val) val = Py_None;
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ))) {
            exc = Ref::borrow(val);
        } else {
            if (PyTuple_Check(val))
                exc = Ref::steal(PyObject_Call(typ, val, nullptr));
            else if (val == Py_None)
                exc = Ref::steal(PyObject_CallNoArgs(typ));
            else
                exc = Ref::steal(PyObject_CallOneArg(typ, val));
            if (!exc) return;
            if (!PyExceptionInstance_Check(exc.get())) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %R",
                             typ, Py_TYPE(exc.get()));
                return;
            }
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return;
        }
        exc = Ref::borrow(typ);
    } else {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return;
    }
    if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return;
    PyErr_SetRaisedException(exc.release());
}

bool close_public(Coro* self);

// Closes and drops the delegate. False: its exception is pending.
bool close_delegate(Coro* self) {
    Ref d = Ref::steal(std::exchange(self->delegate, nullptr));
    self->delegate_send = nullptr;
    if (!d) return true;
    if (Py_IS_TYPE(d.get(), CoroutineType)) return close_public(as_coro(d.get()));
    if (Py_IS_TYPE(d.get(), CoroutineWrapperType))
        return close_public(reinterpret_cast<CoroutineWrapperObject*>(d.get())->coro);
    PyObject* meth = nullptr;
    int found = PyObject_GetOptionalAttr(d.get(), k::close, &meth);
    if (found < 0) {
        PyErr_WriteUnraisable(d.get());
        return true;
    }
    if (!found) return true;
    Ref m = Ref::steal(meth);
    Ref r = Ref::steal(PyObject_CallNoArgs(m.get()));
    return bool(r);
}

PySendResult throw_public(Coro* self, PyObject* args, PyObject** out);

PySendResult throw_running(Coro* self, PyObject* args, PyObject** out) {
    PyObject* typ = PyTuple_GET_ITEM(args, 0);
    PyObject* val = PyTuple_GET_SIZE(args) > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr;
    PyObject* tb = PyTuple_GET_SIZE(args) > 2 ? PyTuple_GET_ITEM(args, 2) : nullptr;
    *out = nullptr;
    if (PyObject* d = self->delegate) {
        if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
            if (close_delegate(self)) set_thrown(typ, val, tb);
            return resume(self, nullptr, out);
        }
        PyObject* v = nullptr;
        Ref keep = Ref::borrow(d);
        if (Py_IS_TYPE(d, CoroutineType) || Py_IS_TYPE(d, CoroutineWrapperType)) {
            Coro* inner = Py_IS_TYPE(d, CoroutineType)
                              ? as_coro(d)
                              : reinterpret_cast<CoroutineWrapperObject*>(d)->coro;
            PySendResult r = throw_public(inner, args, &v);
            if (r == PYGEN_NEXT) { *out = v; return r; }
            drop_delegate(self);
            return resume(self, r == PYGEN_RETURN ? v : nullptr, out);
        }
        PyObject* meth = nullptr;
        int found = PyObject_GetOptionalAttr(d, k::throw_, &meth);
        if (found < 0) return PYGEN_ERROR;
        if (!found) {
            drop_delegate(self);
            set_thrown(typ, val, tb);
            return resume(self, nullptr, out);
        }
        Ref m = Ref::steal(meth);
        v = PyObject_Call(m.get(), args, nullptr);
        if (v) { *out = v; return PYGEN_NEXT; }
        drop_delegate(self);
        return resume(self, delegate_result(), out);
    }
    set_thrown(typ, val, tb);
    return resume(self, nullptr, out);
}

PySendResult throw_public(Coro* self, PyObject* args, PyObject** out) {
    *out = nullptr;
    if (!try_enter(self)) return PYGEN_ERROR;
    PySendResult r = throw_running(self, args, out);
    leave(self);
    return r;
}

bool close_running(Coro* self) {
    if (self->label == LABEL_START) {
        // Nothing has run: GeneratorExit would end the body at once and be
        // cleared here, so skip making it.
        finish(self);
        return true;
    }
    if (close_delegate(self)) PyErr_SetNone(PyExc_GeneratorExit);
    PyObject* v = nullptr;
    PySendResult r = resume(self, nullptr, &v, /*closing=*/true);
    if (r == PYGEN_RETURN && v == Py_None) {
        Py_DECREF(v);
        return true;
    }
    if (r != PYGEN_ERROR) {
        Py_XDECREF(v);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return false;
    }
    if (!PyErr_Occurred()) return true;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        return true;
    }
    return false;
}

bool close_public(Coro* self) {
    if (!try_enter(self)) return false;
    bool ok = close_running(self);
    leave(self);
    return ok;
}

// ---- Python-facing conversions --------------------------------------------

// A return value as StopIteration (none for None), for send and throw.
void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (exc) PyErr_SetRaisedException(exc);
}

PyObject* as_iteration_result(PySendResult r, PyObject* v) {
    if (r == PYGEN_NEXT) return v;
    if (r == PYGEN_RETURN) {
        set_stop_iteration(v);
        Py_DECREF(v);
    }
    return nullptr;
}

}  // namespace

// ---- entry points shared with the wrapper type ------------------------------

PySendResult Coroutine_am_send(PyObject* self, PyObject* value, PyObject** result) {
    Coro* c = as_coro(self);
    *result = nullptr;
    if (!try_enter(c)) return PYGEN_ERROR;
    PySendResult r = send_running(c, value, result);
    leave(c);
    return r;
}

PyObject* Coroutine_send_value(PyObject* self, PyObject* value) {
    PyObject* v = nullptr;
    PySendResult r = Coroutine_am_send(self, value, &v);
    return as_iteration_result(r, v);
}

PyObject* Coroutine_throw_args(PyObject* self, PyObject* args) {
    PyObject *typ, *val = nullptr, *tb = nullptr;
    if (!PyArg_UnpackTuple(args, "throw", 1, 3, &typ, &val, &tb)) return nullptr;
    PyObject* v = nullptr;
    PySendResult r = throw_public(as_coro(self), args, &v);
    return as_iteration_result(r, v);
}

PyObject* Coroutine_close_now(PyObject* self) {
    if (!close_public(as_coro(self))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* refuse_pickle(PyObject* self) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

namespace {

// ---- the coroutine type's slots ------------------------------------------

PyObject* Coroutine_send(PyObject* self, PyObject* value) { return Coroutine_send_value(self, value); }
PyObject* Coroutine_throw(PyObject* self, PyObject* args) { return Coroutine_throw_args(self, args); }
PyObject* Coroutine_close(PyObject* self, PyObject*) { return Coroutine_close_now(self); }
PyObject* Coroutine_reduce(PyObject* self, PyObject*) { return refuse_pickle(self); }

PyObject* Coroutine_await(PyObject* self) {
    auto* w = PyObject_GC_New(CoroutineWrapperObject, CoroutineWrapperType);
    if (!w) return nullptr;
    w->coro = reinterpret_cast<Coro*>(Py_NewRef(self));
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

void Coroutine_finalize(PyObject* self) {
    Coro* c = as_coro(self);
    if (c->label == LABEL_DONE) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (c->label == LABEL_START && !pending) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%.50S' was never awaited",
                             c->qualname ? c->qualname : Py_None) < 0)
            PyErr_WriteUnraisable(self);
    } else if (!close_public(c)) {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(pending);
}

int Coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    Coro* c = as_coro(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(c->cx.record);
    Py_VISIT(c->exc_state.exc_value);
    Py_VISIT(c->classobj);
    Py_VISIT(c->delegate);
    Py_VISIT(c->name);
    Py_VISIT(c->qualname);
    Py_VISIT(c->modname);
    Py_VISIT(c->code);
    Py_VISIT(c->frame);
    Py_VISIT(c->cx.sent);
    Py_VISIT(c->cx.yielded);
    return 0;
}

int Coroutine_clear(PyObject* self) {
    Coro* c = as_coro(self);
    // A body cannot be resumed once its record is gone: the object ends here.
    finish(c);
    clear_field(c->classobj);
    return 0;
}

void Coroutine_dealloc(PyObject* self) {
    // A finished coroutine has nothing to finalise.
    if (as_coro(self)->label != LABEL_DONE && PyObject_CallFinalizerFromDealloc(self) < 0)
        return;  // resurrected
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_coro(self)->weakreflist) PyObject_ClearWeakRefs(self);
    Coroutine_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---- attributes -------------------------------------------------------------

PyObject* or_none(PyObject* v) { return Py_NewRef(v ? v : Py_None); }

PyObject* get_cr_await(PyObject* self, void*) { return or_none(as_coro(self)->delegate); }
PyObject* get_cr_code(PyObject* self, void*) { return or_none(as_coro(self)->code); }

PyObject* get_cr_running(PyObject* self, void*) {
    bool running;
    Py_BEGIN_CRITICAL_SECTION(self);
    running = as_coro(self)->running != 0;
    Py_END_CRITICAL_SECTION();
    return PyBool_FromLong(running);
}

PyObject* get_cr_frame(PyObject* self, void*) {
    Coro* c = as_coro(self);
    PyObject* result = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    if (c->frame) {
        result = Py_NewRef(c->frame);
    } else if (!c->code) {
        result = Py_NewRef(Py_None);
    } else if (PyObject* globals = PyDict_New()) {
        PyObject* f = reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(c->code), globals, nullptr));
        Py_DECREF(globals);
        if (f) {
            c->frame = f;
            result = Py_NewRef(f);
        }
    }
    Py_END_CRITICAL_SECTION();
    return result;
}

PyObject* get_name(PyObject* self, void*) { return or_none(as_coro(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return or_none(as_coro(self)->qualname); }
PyObject* get_module(PyObject* self, void*) { return or_none(as_coro(self)->modname); }

int set_str_field(PyObject*& field, PyObject* value, const char* message) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    set_field(field, Py_NewRef(value));
    return 0;
}
int set_name(PyObject* self, PyObject* v, void*) {
    return set_str_field(as_coro(self)->name, v, "__name__ must be set to a string object");
}
int set_qualname(PyObject* self, PyObject* v, void*) {
    return set_str_field(as_coro(self)->qualname, v, "__qualname__ must be set to a string object");
}
int set_module(PyObject* self, PyObject* v, void*) {
    set_field(as_coro(self)->modname, Py_XNewRef(v));
    return 0;
}

PyGetSetDef coroutine_getset[] = {
    {"cr_await", get_cr_await, nullptr, "object being awaited, or None", nullptr},
    {"cr_code", get_cr_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_cr_frame, nullptr, "Frame of the coroutine", nullptr},
    {"cr_running", get_cr_running, nullptr, nullptr, nullptr},
    {"__name__", get_name, set_name, "name of the coroutine", nullptr},
    {"__qualname__", get_qualname, set_qualname, "qualified name of the coroutine", nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The member only tells PyType_FromSpec where the weak-reference list is:
// it sets tp_weaklistoffset and then deletes every __weaklistoffset__ entry
// from the new type's dict, a getset of that name included. So the attribute
// is added once the type exists (init_coroutine_types), reading the offset
// back from the type.
PyMemberDef coroutine_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Coro, weakreflist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyObject* get_weaklistoffset(PyObject* self, void*) {
    return PyLong_FromSsize_t(Py_TYPE(self)->tp_weaklistoffset);
}

PyGetSetDef weaklistoffset_getset = {"__weaklistoffset__", get_weaklistoffset, nullptr, nullptr, nullptr};

PyMethodDef coroutine_methods[] = {
    {"send", Coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", Coroutine_throw, METH_VARARGS,
     "throw(typ[,val[,tb]]) -> raise exception in coroutine,\nreturn next iterated value or raise StopIteration."},
    {"close", Coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {"__reduce_ex__", Coroutine_reduce, METH_O, nullptr},
    {"__reduce__", Coroutine_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coroutine_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Coroutine_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Coroutine_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Coroutine_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(Coroutine_finalize)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_members, coroutine_members},
    {Py_tp_getset, coroutine_getset},
    {Py_am_await, reinterpret_cast<void*>(Coroutine_await)},
    {Py_am_send, reinterpret_cast<void*>(Coroutine_am_send)},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "tavrin.firebase.coroutine",
    sizeof(Coro),
    0,
    // Made immutable by PyType_Freeze once __weaklistoffset__ is in place.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coroutine_slots,
};

}  // namespace

PyTypeObject* make_wrapper_type();  // runtime/coroutine_wrapper.cpp

void init_coroutine_types() {
    // Made once per process: a second module object never exists.
    if (CoroutineType) return;
    Ref type = check(PyType_FromSpec(&coroutine_spec));
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(type.get());
    // Through setattr, not the type's dict: it takes the type's locks and
    // invalidates its lookup cache, as a free-threaded build needs.
    Ref descr = check(PyDescr_NewGetSet(tp, &weaklistoffset_getset));
    check_int(PyObject_SetAttrString(type.get(), weaklistoffset_getset.name, descr.get()));
    check_int(PyType_Freeze(tp));
    CoroutineType = reinterpret_cast<PyTypeObject*>(type.release());
    CoroutineWrapperType = make_wrapper_type();
}

PyObject* Coroutine_New(FunctionDef& def, PyObject* record) {
    Ref rec = Ref::steal(record);
    Coro* c = PyObject_GC_New(Coro, CoroutineType);
    if (!c) return nullptr;
    c->exc_state.exc_value = nullptr;
    c->exc_state.previous_item = nullptr;
    c->weakreflist = nullptr;
    c->classobj = nullptr;
    c->delegate = nullptr;
    c->delegate_send = nullptr;
    c->name = Py_NewRef(def.py_name);
    c->qualname = Py_NewRef(def.py_name);
    c->modname = Py_NewRef(k::module_name);
    c->code = Py_NewRef(def.code);
    c->frame = nullptr;
    c->label = LABEL_START;
    c->running = 0;
    new (&c->cx) Ctx{};
    c->cx.coro = c;
    c->cx.def = &def;
    c->cx.record = rec.release();
    c->task = {};
    PyObject_GC_Track(c);
    return reinterpret_cast<PyObject*>(c);
}

}  // namespace fb
