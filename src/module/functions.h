// The function table: one row per published function, in source order.
#pragma once
#include <Python.h>
#include "core/ref.h"

namespace fb {

struct Ctx;        // runtime/task.h: what a running coroutine body sees
struct BodyTask;   // runtime/task.h: the C++ coroutine of a body

// A coroutine function's body: started on the first send into its coroutine.
using CoroutineBody = BodyTask (*)(Ctx&);
// A plain function's body: the bound arguments in parameter order; returns a
// new reference or throws PyError. Its traceback entries are its own business.
using PlainBody = PyObject* (*)(PyObject* const* args);

struct FunctionDef {
    const char* name;
    const char* const* params;   // parameter names, in order
    int nparams;
    int line;                    // definition line
    const char* doc;
    CoroutineBody coroutine;     // exactly one of coroutine / plain is set
    PlainBody plain;
    const char* const* locals;   // named locals after the parameters (code object)
    int nlocals;
    int ntemps;                  // record slots for values kept across awaits

    // Filled by the exec step.
    PyObject* py_name = nullptr;       // interned bare name, e.g. "auth_sign_in"
    PyObject* qualified = nullptr;     // "tavrin.firebase.auth_sign_in"
    PyObject* code = nullptr;          // coroutine functions: the shared code object
    PyTypeObject* record_type = nullptr;

    bool is_coroutine() const { return coroutine != nullptr; }
    // Record layout: parameters, then named locals, then temporaries.
    int nslots() const { return nparams + nlocals + ntemps; }
};

// Every row; index by the enum below.
enum class Fn : int {
    sealed_box_encrypt, auth_sign_in, auth_sign_up, verify_email,
    send_password_reset_email, get_auth_user_data, get_firestore_base_url,
    get_functions_base_url, create_document, get_document, overwrite_document,
    update_document, delete_document, register_new_user_in_firestore,
    get_token_expiry, refresh_id_token, ensure_valid_token, trigger_function,
    count
};
FunctionDef& function(Fn f);

// Names, code objects and record types of every row, made while the module
// loads, before any function object; throws PyError.
void make_function_data();
// The published built-in function of a row; throws PyError.
Ref make_function_object(Fn f);

}  // namespace fb
