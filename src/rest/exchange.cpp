#include "rest/exchange.h"

#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

// Record temporaries used by the exchange. The exit is kept unbound when it
// is a plain function (as the interpreter's own `async with` does): the
// function and the client it is called on.
enum Temp { EXIT, EXIT_SELF, EXC, PREV_EXC, REPLY };

PyObject* keyword_tuples[int(Keywords::count)];

// A special method: looked up on the type (not the instance). A plain
// function stays unbound, with `obj` kept beside it; anything else is bound.
// AttributeError carrying the name when the type has none.
void special_method(Ctx& cx, PyObject* obj, PyObject* name, int fn_slot, int self_slot) {
    PyTypeObject* tp = Py_TYPE(obj);
    Ref found = Ref::steal(_PyType_LookupRef(tp, name));
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, name);
        raise();
    }
    if (PyFunction_Check(found.get())) {
        cx.put(self_slot, Ref::borrow(obj));
        cx.put(fn_slot, std::move(found));
        return;
    }
    clear_field(cx.slot(self_slot));
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    cx.put(fn_slot, get ? check(get(found.get(), obj, reinterpret_cast<PyObject*>(tp)))
                        : std::move(found));
}

// Calls what special_method kept with `nargs` arguments at args[1..]; args[0]
// is free for the client. Null with the exception set on failure.
PyObject* call_special(Ctx& cx, int fn_slot, int self_slot, PyObject** args, size_t nargs) {
    PyObject* self = cx.slot(self_slot);
    if (self) {
        args[0] = self;
        return PyObject_Vectorcall(cx.slot(fn_slot), args, nargs + 1, nullptr);
    }
    return PyObject_Vectorcall(cx.slot(fn_slot), args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                               nullptr);
}

// httpx.AsyncClient(): keeps its __aexit__ in the record and gives the
// awaitable of its __aenter__(). Only the kept exit holds the made client
// from here on.
Ref open_client(Ctx& cx) {
    Ref httpx = lookup(k::httpx);
    Ref factory = check(PyObject_GetAttr(httpx.get(), k::AsyncClient));
    Ref client = check(PyObject_CallNoArgs(factory.get()));
    special_method(cx, client.get(), k::dunder_aexit, cx.temp(EXIT), cx.temp(EXIT_SELF));
    Ref enter = Ref::steal(_PyType_LookupRef(Py_TYPE(client.get()), k::dunder_aenter));
    if (!enter) {
        PyErr_SetObject(PyExc_AttributeError, k::dunder_aenter);
        raise();
    }
    if (PyFunction_Check(enter.get())) return check(PyObject_CallOneArg(enter.get(), client.get()));
    descrgetfunc get = Py_TYPE(enter.get())->tp_descr_get;
    if (get) enter = check(get(enter.get(), client.get(), reinterpret_cast<PyObject*>(Py_TYPE(client.get()))));
    return check(PyObject_CallNoArgs(enter.get()));
}

// client.<method>(url, **keywords): the awaitable of the request, or null.
Ref call_request(Ctx& cx, const Request& rq, const RequestCall& call) noexcept {
    PyObject* args[3 + 3];   // self slot, client, url, up to three keyword values
    PyObject* names = keyword_tuples[int(call.keywords)];
    args[1] = cx.slot(rq.client);
    args[2] = cx.slot(rq.url);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) args[3 + i] = cx.slot(call.values[i]);
    return Ref::steal(PyObject_VectorcallMethod(*rq.method, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                names));
}

// The exit with (type, value, traceback) of `exc`, or three Nones; null on failure.
Ref call_exit(Ctx& cx, PyObject* exc) noexcept {
    Ref tb = exc ? Ref::steal(PyException_GetTraceback(exc)) : Ref{};
    PyObject* args[] = {nullptr, exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None,
                        exc ? exc : Py_None, tb ? tb.get() : Py_None};
    return Ref::steal(call_special(cx, cx.temp(EXIT), cx.temp(EXIT_SELF), args, 3));
}

// Runs a hook that reports failure by throwing; false with the exception set.
template <class F>
bool run_hook(F&& f) noexcept {
    try {
        f();
        return true;
    } catch (...) {
        translate_current_exception();
        return false;
    }
}

// Inside the client context: the prepare hook, then the request call; gives
// the awaitable of the request, or null with the exception set.
Ref start_request(Ctx& cx, const Request& rq, RequestCall& call) noexcept {
    if (rq.prepare && !run_hook([&] { rq.prepare(cx, call); })) return {};
    cx.at(call.line);
    return call_request(cx, rq, call);
}

// After the response arrived: the status test, JSON decoding and the treat
// hook, the reply kept in the record; false with the exception set.
bool finish_request(Ctx& cx, const Request& rq) noexcept {
    const int reply = cx.temp(REPLY);
    cx.at(rq.lines.status);
    Ref checked = Ref::steal(PyObject_CallMethodNoArgs(cx.slot(rq.response), k::raise_for_status));
    if (!checked) return false;
    cx.at(rq.lines.decode);
    Ref decoded = Ref::steal(PyObject_CallMethodNoArgs(cx.slot(rq.response), k::json));
    if (!decoded) return false;
    cx.put(reply, std::move(decoded));
    if (!rq.treat) return true;
    return run_hook([&] { cx.put(reply, rq.treat(cx, cx.slot(reply))); });
}

void drop_exit(Ctx& cx) {
    clear_field(cx.slot(cx.temp(EXIT)));
    clear_field(cx.slot(cx.temp(EXIT_SELF)));
}

}  // namespace

void make_request_keywords() {
    auto make = [](Keywords k, std::initializer_list<PyObject*> names) {
        PyObject* t = check(PyTuple_New(Py_ssize_t(names.size()))).release();
        Py_ssize_t i = 0;
        for (PyObject* n : names) PyTuple_SET_ITEM(t, i++, Py_NewRef(n));
        keyword_tuples[int(k)] = t;
    };
    make(Keywords::json, {k::json});
    make(Keywords::data, {k::data});
    make(Keywords::headers, {k::headers});
    make(Keywords::headers_json, {k::headers, k::json});
    make(Keywords::headers_json_timeout, {k::headers, k::json, k::timeout});
    make(Keywords::headers_content_timeout, {k::headers, k::content, k::timeout});
}

Ref api_key_url(PyObject* prefix) {
    Ref key = lookup(k::FIREBASE_API_KEY);
    Ref text = to_text(key.get());
    return check(PyUnicode_Concat(prefix, text.get()));
}

// Failures inside the client context are reported without C++ throws: a
// refused request or a cancellation is an everyday path.
BodyTask exchange(Ctx& cx, const Request& rq) {
    if (rq.build) rq.build(cx);

    cx.at(rq.lines.context);
    cx.put(rq.client, co_await cx.await_(open_client(cx)));

    RequestCall call = rq.call;
    Ref response = co_await cx.try_await(start_request(cx, rq, call));
    bool ok = bool(response);
    if (ok) {
        cx.put(rq.response, std::move(response));
        ok = finish_request(cx, rq);
    }

    if (!ok) {
        // The exit sees the exception; it is the one being handled meanwhile.
        const int exc = cx.temp(EXC), prev = cx.temp(PREV_EXC);
        add_traceback(cx.def->qualified, cx.line);
        cx.at(rq.lines.context);
        handler_enter(cx, exc, prev);
        Ref answer = co_await cx.try_await(call_exit(cx, cx.slot(exc)));
        int suppress = answer ? PyObject_IsTrue(answer.get()) : -1;
        answer.reset();
        handler_leave(cx, prev);
        drop_exit(cx);
        Ref passing = Ref::steal(std::exchange(cx.slot(exc), nullptr));
        if (suppress < 0) co_return Ref{};   // the exit's own failure goes on instead
        if (suppress) co_return none();
        PyErr_SetRaisedException(passing.release());
        co_return Ref{};
    }

    cx.at(rq.lines.context);
    Ref closed = co_await cx.try_await(call_exit(cx, nullptr));
    drop_exit(cx);
    if (!closed) co_return Ref{};
    co_return Ref::steal(std::exchange(cx.slot(cx.temp(REPLY)), nullptr));
}

}  // namespace fb
