// ensure_valid_token: keeps the application's login usable. A token that
// expires within 300 seconds (or whose expiry is unreadable) is refreshed;
// a failed refresh or check tells the user in red and clears the login.
// Nothing is reported by raising: the caller sees the application object.
// A run whose login was replaced while its refresh was in flight (a logout
// and login, or another validation) leaves the application alone.
#include "module/bodies.h"
#include "module/constants.h"
#include "module/imports.h"
#include "module/state.h"
#include "rest/text.h"
#include "runtime/task.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

enum Slot { time, get_app, app, expiry, current_time, refresh_response, e };
// CHECKED: the ID token this run read for its check; a refresh is only
// applied, or its failure reported, while the application still holds it.
enum Temp { EXC, PREV_EXC, CHECKED };

Ref attr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }

// app.print(message, style="red")
void print_red(PyObject* app, PyObject* message) {
    PyObject* args[] = {nullptr, app, message, k::red};
    check(PyObject_VectorcallMethod(k::print, args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, k::kw_style));
}

// Gives up the login: ID token, user id and refresh token become None.
void clear_login(Ctx& cx, int first_line) {
    PyObject* a = cx.slot(app);
    cx.at(first_line);
    check_int(PyObject_SetAttr(a, k::firebase_id_token, Py_None));
    cx.at(first_line + 1);
    check_int(PyObject_SetAttr(a, k::user_id, Py_None));
    cx.at(first_line + 2);
    check_int(PyObject_SetAttr(a, k::firebase_refresh_token, Py_None));
}

// message = prefix + text of the handled exception + suffix
Ref about_exception(Ctx& cx, PyObject* prefix, PyObject* suffix) {
    Ref text = to_text(cx.slot(e));
    return concat({prefix, text.get(), suffix});
}

// `except Exception as e:` taking the pending exception, when it is one.
bool enter_handler(Ctx& cx, int line) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    add_traceback(function(Fn::ensure_valid_token).qualified, line);
    handler_enter(cx, cx.temp(EXC), cx.temp(PREV_EXC));
    set_field(cx.slot(e), std::exchange(cx.slot(cx.temp(EXC)), nullptr));
    return true;
}

void leave_handler(Ctx& cx) {
    handler_leave(cx, cx.temp(PREV_EXC));
    clear_field(cx.slot(e));
}

// The inner handler: the refresh failed.
void refresh_failed(Ctx& cx) {
    cx.at(353);
    Ref message = about_exception(cx, k::msg_refresh_failed, k::msg_log_in_again);
    print_red(cx.slot(app), message.get());
    clear_login(cx, 354);
}

// The outer handler: the check (or the inner handler) failed.
void check_failed(Ctx& cx) {
    cx.at(359);
    Ref logging = lookup(k::logging);
    Ref message = about_exception(cx, k::msg_check_failed, k::msg_assuming_invalid);
    check(PyObject_CallMethodOneArg(logging.get(), k::error, message.get()));
    cx.at(360);
    print_red(cx.slot(app), k::msg_session_invalid);
    clear_login(cx, 361);
}

// Runs a handler's statements; on failure the handled state is restored
// before the new exception moves on, as leaving an except clause does.
template <class Statements>
bool run_handler(Ctx& cx, Statements statements) {
    bool ok = true;
    try {
        statements(cx);
    } catch (...) {
        translate_current_exception();
        ok = false;
    }
    leave_handler(cx);
    return ok;
}

// Reads the ID token's expiry and the clock: true when fewer than 300
// seconds are left and the token must be refreshed.
bool expires_soon(Ctx& cx) {
    cx.at(343);
    Ref expiry_fn = lookup(k::get_token_expiry);
    Ref token = attr(cx.slot(app), k::firebase_id_token);
    cx.put(expiry, check(PyObject_CallOneArg(expiry_fn.get(), token.get())));
    cx.put(cx.temp(CHECKED), std::move(token));
    cx.at(344);
    Ref now = check(PyObject_CallMethodNoArgs(cx.slot(time), k::time));
    cx.put(current_time, check(PyNumber_Long(now.get())));
    cx.at(346);
    Ref left = check(PyNumber_Subtract(cx.slot(expiry), cx.slot(current_time)));
    return check_int(PyObject_RichCompareBool(left.get(), k::int_300, Py_LT));
}

// After the refresh's await: true when the application no longer holds the
// token this run checked. A newer login, or an overlapping validation that
// finished first, owns the login now; this run must not touch it.
bool superseded(Ctx& cx) {
    cx.at(349);
    // By value: an application may give a new, equal str on every read.
    Ref now = attr(cx.slot(app), k::firebase_id_token);
    return !check_int(PyObject_RichCompareBool(now.get(), cx.slot(cx.temp(CHECKED)), Py_EQ));
}

Ref start_refresh(Ctx& cx) {
    cx.at(348);
    Ref refresh = lookup(k::refresh_id_token);
    Ref token = attr(cx.slot(app), k::firebase_refresh_token);
    return check(PyObject_CallOneArg(refresh.get(), token.get()));
}

void store_tokens(Ctx& cx) {
    PyObject* reply = cx.slot(refresh_response);
    cx.at(350);
    Ref id = check(PyObject_CallMethodOneArg(reply, k::get, k::id_token));
    check_int(PyObject_SetAttr(cx.slot(app), k::firebase_id_token, id.get()));
    cx.at(351);
    Ref refresh = check(PyObject_CallMethodOneArg(reply, k::get, k::refresh_token));
    check_int(PyObject_SetAttr(cx.slot(app), k::firebase_refresh_token, refresh.get()));
}

}  // namespace

BodyTask ensure_valid_token_body(Ctx& cx) {
    cx.at(333);
    cx.put(time, import_module(k::time));
    cx.at(335);
    cx.put(get_app, import_one(k::env, 1, k::fromlist_get_app, k::get_app));
    cx.at(337);
    cx.put(app, check(PyObject_CallNoArgs(cx.slot(get_app))));
    cx.at(339);
    {
        Ref id = attr(cx.slot(app), k::firebase_id_token);
        if (!check_int(PyObject_IsTrue(id.get()))) co_return none();
        Ref refresh = attr(cx.slot(app), k::firebase_refresh_token);
        if (!check_int(PyObject_IsTrue(refresh.get()))) co_return none();
    }

    // The outer region: the check, then the inner region with the refresh.
    // `current`: the login was found unchanged after the refresh, so a
    // failure while storing is this run's to report.
    bool check_raised = false, refresh_raised = false, current = false;
    try {
        if (!expires_soon(cx)) co_return none();
        try {
            cx.put(refresh_response, co_await cx.await_(start_refresh(cx)));
            if (superseded(cx)) co_return none();
            current = true;
            store_tokens(cx);
            co_return none();
        } catch (...) {
            translate_current_exception();
            refresh_raised = true;
        }
    } catch (...) {
        translate_current_exception();
        check_raised = true;
    }

    if (refresh_raised) {
        if (!enter_handler(cx, cx.line)) raise();
        auto inner = [current](Ctx& c) {
            if (!current && superseded(c)) return;   // not ours to clear any more
            refresh_failed(c);
        };
        if (run_handler(cx, inner)) co_return none();
        check_raised = true;   // a failing inner handler goes to the outer one
    }
    if (check_raised) {
        if (!enter_handler(cx, cx.line)) raise();
        if (!run_handler(cx, check_failed)) raise();
    }
    co_return none();
}

}  // namespace fb
