#include "rest/exchange.h"

#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

// Record temporaries used by the exchange.
enum Temp { EXIT, EXC, PREV_EXC, REPLY };

PyObject* keyword_tuples[int(Keywords::count)];

int keyword_count(Keywords k) {
    return int(PyTuple_GET_SIZE(keyword_tuples[int(k)]));
}

// A special method: looked up on the type (not the instance) and bound to
// `obj`; AttributeError carrying the name when the type has none.
Ref special_method(PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    PyObject* mro = tp->tp_mro;
    Ref found;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro) && !found; ++i) {
        Ref dict = check(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* v = nullptr;
        check_int(PyDict_GetItemRef(dict.get(), name, &v));
        found = Ref::steal(v);
    }
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, name);
        raise();
    }
    descrgetfunc get = Py_TYPE(found.get())->tp_descr_get;
    if (!get) return found;
    return check(get(found.get(), obj, reinterpret_cast<PyObject*>(tp)));
}

// httpx.AsyncClient(): keeps its bound __aexit__ in the record and gives the
// awaitable of its __aenter__(). Only the bound exit holds the made client
// from here on.
Ref open_client(Ctx& cx) {
    Ref httpx = lookup(k::httpx);
    Ref factory = check(PyObject_GetAttr(httpx.get(), k::AsyncClient));
    Ref client = check(PyObject_CallNoArgs(factory.get()));
    cx.put(cx.temp(EXIT), special_method(client.get(), k::dunder_aexit));
    Ref enter = special_method(client.get(), k::dunder_aenter);
    return check(PyObject_CallNoArgs(enter.get()));
}

// client.<method>(url, **keywords) -> the awaitable of the request.
Ref call_request(Ctx& cx, const Request& rq) {
    PyObject* args[3 + 3];   // self slot, client, url, up to three keyword values
    int nkw = keyword_count(rq.keywords);
    args[1] = cx.slot(rq.client);
    args[2] = cx.slot(rq.url);
    for (int i = 0; i < nkw; ++i) args[3 + i] = cx.slot(rq.values[i]);
    return check(PyObject_VectorcallMethod(*rq.method, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                           keyword_tuples[int(rq.keywords)]));
}

// The bound exit with (type, value, traceback) of `exc`, or three Nones.
Ref call_exit(Ctx& cx, PyObject* exc) {
    Ref tb = exc ? Ref::steal(PyException_GetTraceback(exc)) : Ref{};
    PyObject* args[] = {nullptr, exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None,
                        exc ? exc : Py_None, tb ? tb.get() : Py_None};
    return check(PyObject_Vectorcall(cx.slot(cx.temp(EXIT)), args + 1,
                                     3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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

BodyTask exchange(Ctx& cx, Request rq) {
    const int exit_slot = cx.temp(EXIT), exc_slot = cx.temp(EXC);
    const int prev_slot = cx.temp(PREV_EXC), reply_slot = cx.temp(REPLY);

    cx.at(rq.lines.context);
    cx.put(rq.client, co_await cx.await_(open_client(cx)));

    bool failed = false;
    try {
        if (rq.prepare) rq.prepare(cx, rq);
        cx.at(rq.lines.request);
        cx.put(rq.response, co_await cx.await_(call_request(cx, rq)));
        cx.at(rq.lines.status);
        check(PyObject_CallMethodNoArgs(cx.slot(rq.response), k::raise_for_status));
        cx.at(rq.lines.decode);
        cx.put(reply_slot, check(PyObject_CallMethodNoArgs(cx.slot(rq.response), k::json)));
        if (rq.treat) cx.put(reply_slot, rq.treat(cx, cx.slot(reply_slot)));
    } catch (...) {
        translate_current_exception();
        failed = true;
    }

    if (failed) {
        // The exit sees the exception; it is the one being handled meanwhile.
        add_traceback(cx.def->qualified, cx.line);
        cx.at(rq.lines.context);
        handler_enter(cx, exc_slot, prev_slot);
        bool exit_failed = false;
        int suppress = 0;
        try {
            Ref r = co_await cx.await_(call_exit(cx, cx.slot(exc_slot)));
            suppress = check_int(PyObject_IsTrue(r.get()));
        } catch (...) {
            translate_current_exception();
            exit_failed = true;
        }
        handler_leave(cx, prev_slot);
        clear_field(cx.slot(exit_slot));
        if (exit_failed) {
            clear_field(cx.slot(exc_slot));
            raise();
        }
        PyObject* exc = std::exchange(cx.slot(exc_slot), nullptr);
        if (suppress) {
            Py_DECREF(exc);
            co_return none();
        }
        PyErr_SetRaisedException(exc);
        raise();
    }

    cx.at(rq.lines.context);
    co_await cx.await_(call_exit(cx, nullptr));
    clear_field(cx.slot(exit_slot));
    co_return Ref::steal(std::exchange(cx.slot(reply_slot), nullptr));
}

}  // namespace fb
