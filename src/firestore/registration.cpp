// register_new_user_in_firestore: the user and billing documents of a new
// account, after making sure the user document does not exist yet. A
// registration that stopped after the user document (a refused or lost
// billing write) is finished by the next call instead of refused for good.
#include "module/bodies.h"
#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"
#include "runtime/task.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

enum Slot { user_id, email, id_token, user_doc_path, e, data };
enum Temp { EXC, PREV_EXC };

// {kind: value}: a typed field value of the document service.
Ref typed(PyObject* kind, PyObject* value) {
    Ref v = check(PyDict_New());
    check_int(PyDict_SetItem(v.get(), kind, value));
    return v;
}

void add_field(PyObject* fields, PyObject* name, PyObject* kind, PyObject* value) {
    Ref v = typed(kind, value);
    check_int(PyDict_SetItem(fields, name, v.get()));
}

// datetime.now(timezone.utc).isoformat("T", "milliseconds").replace("+00:00", "Z")
Ref registration_time() {
    Ref datetime = lookup(k::datetime);
    Ref timezone = lookup(k::timezone);
    Ref utc = check(PyObject_GetAttr(timezone.get(), k::utc));
    Ref now = check(PyObject_CallMethodOneArg(datetime.get(), k::now, utc.get()));
    Ref isoformat = check(PyObject_GetAttr(now.get(), k::isoformat));
    Ref text = check(PyObject_Call(isoformat.get(), k::isoformat_args, nullptr));
    Ref replace = check(PyObject_GetAttr(text.get(), k::replace));
    return check(PyObject_Call(replace.get(), k::utc_replace, nullptr));
}

Ref user_document(Ctx& cx) {
    cx.at(268);
    Ref fields = check(PyDict_New());
    cx.at(269);
    add_field(fields.get(), k::email, k::stringValue, cx.slot(email));
    cx.at(270);
    add_field(fields.get(), k::user_id, k::stringValue, cx.slot(user_id));
    cx.at(271);
    Ref created = registration_time();
    add_field(fields.get(), k::created_at, k::timestampValue, created.get());
    cx.at(272);
    add_field(fields.get(), k::active, k::booleanValue, Py_False);
    return fields;
}

Ref billing_document(Ctx& cx) {
    cx.at(280);
    Ref fields = check(PyDict_New());
    add_field(fields.get(), k::user_id, k::stringValue, cx.slot(user_id));
    add_field(fields.get(), k::email, k::stringValue, cx.slot(email));
    add_field(fields.get(), k::balance, k::doubleValue, k::float_0);
    return fields;
}

// create_document(collection, user_id, data, id_token), looked up by name.
Ref start_create(Ctx& cx, PyObject* collection) {
    Ref create = lookup(k::create_document);
    PyObject* args[] = {nullptr, collection, cx.slot(user_id), cx.slot(data), cx.slot(id_token)};
    return check(PyObject_Vectorcall(create.get(), args + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// get_document(path, id_token), looked up by name.
Ref start_read(Ctx& cx, PyObject* path) {
    Ref read = lookup(k::get_document);
    return check(PyObject_CallFunctionObjArgs(read.get(), path, cx.slot(id_token), nullptr));
}

// prefix + the text of user_id: "users/UID", "billing/UID".
Ref record_path(Ctx& cx, PyObject* prefix) {
    Ref id = to_text(cx.slot(user_id));
    return concat({prefix, id.get()});
}

// `except HTTPStatusError as e:` with `if e.response.status_code != 404: raise`.
// Returns when the document read last is absent; the exception is dropped.
void absent_document(Ctx& cx, int failed_line) {
    const int exc_slot = cx.temp(EXC), prev_slot = cx.temp(PREV_EXC);
    handler_enter(cx, exc_slot, prev_slot);
    PyObject* exc = cx.slot(exc_slot);
    bool taken = false;
    try {
        cx.at(263);
        Ref cls = lookup(k::HTTPStatusError);
        taken = PyErr_GivenExceptionMatches(exc, cls.get());
        if (taken) {
            add_traceback_to(exc, function(Fn::register_new_user_in_firestore).qualified, failed_line);
            set_field(cx.slot(e), std::exchange(cx.slot(exc_slot), nullptr));
            cx.at(264);
            Ref response = check(PyObject_GetAttr(cx.slot(e), k::response));
            Ref status = check(PyObject_GetAttr(response.get(), k::status_code));
            if (check_int(PyObject_RichCompareBool(status.get(), k::int_404, Py_NE))) {
                cx.at(265);
                PyErr_SetRaisedException(Py_NewRef(cx.slot(e)));
                raise();
            }
        }
    } catch (...) {
        translate_current_exception();
        handler_leave(cx, prev_slot);
        clear_field(cx.slot(e));
        clear_field(cx.slot(exc_slot));
        raise();
    }
    handler_leave(cx, prev_slot);
    clear_field(cx.slot(e));
    if (!taken) {
        cx.at(failed_line);
        PyErr_SetRaisedException(std::exchange(cx.slot(exc_slot), nullptr));
        raise();
    }
}

}  // namespace

BodyTask register_new_user_in_firestore_body(Ctx& cx) {
    cx.at(257);
    cx.put(user_doc_path, record_path(cx, k::users_prefix));
    // A falsy id would make create_document let the service choose one.
    cx.at(258);
    if (!check_int(PyObject_IsTrue(cx.slot(user_id)))) {
        PyErr_SetObject(PyExc_ValueError, k::msg_no_user_id);
        raise();
    }
    // The existence check always raises: both documents exist, or a read
    // failed. A 404 names the user document, or, once that was found, the
    // billing document alone.
    bool user_found = false;
    try {
        cx.at(260);
        co_await cx.await_(start_read(cx, cx.slot(user_doc_path)));
        user_found = true;
        cx.at(261);
        co_await cx.await_(start_read(cx, record_path(cx, k::billing_prefix).get()));
        cx.at(262);
        PyErr_SetObject(PyExc_Exception, k::msg_user_exists);
        raise();
    } catch (...) {
        translate_current_exception();
    }
    absent_document(cx, cx.line);

    if (!user_found) {
        cx.put(data, user_document(cx));
        cx.at(276);
        co_await cx.await_(start_create(cx, k::users));
    }
    cx.put(data, billing_document(cx));
    cx.at(284);
    co_await cx.await_(start_create(cx, k::billing));
    co_return none();
}

}  // namespace fb
