// trigger_function: one POST to an HTTPS function of the application's
// backend, with the fixed authentication header, optionally the user's ID
// token, and a sealed or plain JSON body.
#include "module/bodies.h"
#include "module/constants.h"
#include "module/imports.h"
#include "module/state.h"
#include "rest/exchange.h"
#include "rest/text.h"

namespace fb {
namespace {

enum Slot {
    firebase_function, payload, use_auth_token, additional_headers, timeout_seconds, encrypt,
    get_app, app, headers, firebase_function_url, client, ciphertext_b64, response
};

bool truthy(PyObject* v) { return check_int(PyObject_IsTrue(v)); }

// {AUTH_HEADER_NAME: ENCRYPTED_AUTH_KEY.decode("utf-8")}
Ref fixed_headers() {
    Ref name = lookup(k::AUTH_HEADER_NAME);
    Ref key = lookup(k::ENCRYPTED_AUTH_KEY);
    Ref value = check(PyObject_CallMethodOneArg(key.get(), k::decode, k::utf_8));
    Ref h = check(PyDict_New());
    check_int(PyDict_SetItem(h.get(), name.get(), value.get()));
    return h;
}

// get_functions_base_url() + "/" + API_VERSION + "_" + firebase_function, the
// name percent-encoded as a path piece (configuration goes in as it is).
Ref function_url(Ctx& cx) {
    Ref base_fn = lookup(k::get_functions_base_url);
    Ref base_raw = check(PyObject_CallNoArgs(base_fn.get()));
    Ref base = to_text(base_raw.get());
    Ref version_raw = lookup(k::API_VERSION);
    Ref version = to_text(version_raw.get());
    Ref name = function_path_text(cx.slot(firebase_function));
    return concat({base.get(), k::slash, version.get(), k::underscore, name.get()});
}

Ref start_validation() {
    Ref validate = lookup(k::ensure_valid_token);
    return check(PyObject_CallNoArgs(validate.get()));
}

[[noreturn]] void token_unavailable() {
    PyErr_SetObject(PyExc_Exception, k::msg_token_unavailable);
    raise();
}

// "Bearer " + the ID token as the validation left it; a login it gave up
// is not sent as "Bearer None".
void set_bearer(Ctx& cx) {
    Ref token = check(PyObject_GetAttr(cx.slot(app), k::firebase_id_token));
    if (!truthy(token.get())) token_unavailable();
    Ref text = to_text(token.get());
    Ref value = check(PyUnicode_Concat(k::bearer, text.get()));
    check_int(PyDict_SetItem(cx.slot(headers), k::Authorization, value.get()));
}

// Header names are compared without case, as HTTP does; httpx would send
// every spelling of one name. A str name folds by str.lower itself, even for
// a str subclass; an ASCII bytes name, which httpx takes as well, folds to
// the same text. Any other name is not folded: an empty Ref.
Ref fold(PyObject* name) {
    if (PyUnicode_Check(name))
        return check(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyUnicode_Type), k::lower, name));
    if (!PyBytes_Check(name)) return {};
    const char* p = PyBytes_AS_STRING(name);
    const Py_ssize_t n = PyBytes_GET_SIZE(name);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) >= 128) return {};
    Ref text = check(PyUnicode_DecodeASCII(p, n, nullptr));
    return check(PyObject_CallMethodNoArgs(text.get(), k::lower));
}

// Passes each foldable key of `headers` with its folded form to f; other
// keys are left alone. The keys are a snapshot, so f may delete from `headers`.
template <class F>
void each_spelling(PyObject* headers, F f) {
    Ref keys = check(PyDict_Keys(headers));
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(keys.get()); i < n; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        Ref folded = fold(key);
        if (folded) f(key, folded.get());
    }
}

// After the caller's headers are merged: a name present in several
// spellings keeps only its last one, the caller's, where it stands.
void keep_last_spellings(PyObject* headers) {
    Ref last = check(PyDict_New());   // folded name -> its last spelling
    Py_ssize_t spellings = 0;
    each_spelling(headers, [&](PyObject* key, PyObject* folded) {
        check_int(PyDict_SetItem(last.get(), folded, key));
        ++spellings;
    });
    if (PyDict_GET_SIZE(last.get()) == spellings) return;   // no name twice
    each_spelling(headers, [&](PyObject* key, PyObject* folded) {
        PyObject* found = nullptr;
        check_int(PyDict_GetItemRef(last.get(), folded, &found));
        Ref kept = Ref::steal(found);
        if (kept.get() != key) check_int(PyDict_DelItem(headers, key));
    });
}

// Before `name` is set: every other spelling of it goes.
// A str and a bytes name are never one dict key.
void drop_other_spellings(PyObject* headers, PyObject* name) {
    Ref wanted = fold(name);
    if (!wanted) return;
    each_spelling(headers, [&](PyObject* key, PyObject* folded) {
        if (!check_int(PyObject_RichCompareBool(folded, wanted.get(), Py_EQ))) return;
        if (PyUnicode_Check(key) == PyUnicode_Check(name) &&
            check_int(PyObject_RichCompareBool(key, name, Py_EQ)))
            return;
        check_int(PyDict_DelItem(headers, key));
    });
}

// Inside the client context: the body, sealed or plain.
void choose_body(Ctx& cx, RequestCall& call) {
    cx.at(411);
    if (truthy(cx.slot(encrypt))) {
        cx.at(413);
        Ref name = lookup(k::ENCRYPTION_HEADER_NAME);
        drop_other_spellings(cx.slot(headers), name.get());
        check_int(PyDict_SetItem(cx.slot(headers), name.get(), k::true_text));
        cx.at(414);
        Ref seal = lookup(k::sealed_box_encrypt);
        cx.put(ciphertext_b64, check(PyObject_CallOneArg(seal.get(), cx.slot(payload))));
        call = {Keywords::headers_content_timeout, {headers, ciphertext_b64, timeout_seconds}, 415};
    }
}

const Request call_function{&k::post, firebase_function_url,
                            {Keywords::headers_json_timeout, {headers, payload, timeout_seconds}, 423},
                            {410, 429, 430}, client, response, nullptr, choose_body};

}  // namespace

BodyTask trigger_function_body(Ctx& cx) {
    cx.at(394);
    cx.put(get_app, import_one(k::env, 1, k::fromlist_get_app, k::get_app));
    cx.at(395);
    cx.put(app, check(PyObject_CallNoArgs(cx.slot(get_app))));
    cx.at(397);
    cx.put(headers, fixed_headers());
    cx.at(399);
    if (truthy(cx.slot(use_auth_token))) {
        cx.at(400);
        Ref token = check(PyObject_GetAttr(cx.slot(app), k::firebase_id_token));
        if (!truthy(token.get())) {
            cx.at(401);
            token_unavailable();
        }
        token.reset();
        cx.at(402);
        co_await cx.await_(start_validation());
        cx.at(403);
        set_bearer(cx);
    }
    cx.at(405);
    cx.put(firebase_function_url, function_url(cx));
    cx.at(407);
    if (truthy(cx.slot(additional_headers))) {
        cx.at(408);
        check(PyObject_CallMethodOneArg(cx.slot(headers), k::update, cx.slot(additional_headers)));
        keep_last_spellings(cx.slot(headers));
    }
    co_return co_await tail(exchange(cx, call_function));
}

}  // namespace fb
