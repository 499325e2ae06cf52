// The function table, argument binding, and the built-in function objects
// through which the module publishes its eighteen functions.
#include "module/functions.h"
#include <utility>
#include "core/error.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "runtime/coroutine.h"
#include "runtime/record.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

// ---------------------------------------------------------------------------
// Parameters and named locals.

const char* const p_payload[] = {"payload"};
const char* const p_email_password[] = {"email", "password"};
const char* const p_id_token[] = {"id_token"};
const char* const p_email[] = {"email"};
const char* const p_create_document[] = {"collection", "document_id", "data", "id_token"};
const char* const p_path_token[] = {"document_path", "id_token"};
const char* const p_path_data_token[] = {"document_path", "data", "id_token"};
const char* const p_register[] = {"user_id", "email", "id_token"};
const char* const p_token[] = {"token"};
const char* const p_refresh_token[] = {"refresh_token"};
const char* const p_trigger[] = {"firebase_function", "payload", "use_auth_token",
                                 "additional_headers", "timeout_seconds", "encrypt"};

const char* const l_auth_sign_in[] = {"payload", "signin_endpoint", "client", "response"};
const char* const l_auth_sign_up[] = {"payload", "signup_endpoint", "client", "response"};
const char* const l_verify_email[] = {"payload", "verify_endpoint", "client", "response"};
const char* const l_reset_email[] = {"payload", "reset_endpoint", "client", "response"};
const char* const l_user_data[] = {"payload", "lookup_endpoint", "client", "response", "data",
                                   "users"};
const char* const l_create_document[] = {"url", "headers", "payload", "client", "response"};
const char* const l_get_document[] = {"url", "headers", "client", "response"};
const char* const l_overwrite_document[] = {"url", "headers", "payload", "client", "response"};
const char* const l_update_document[] = {"fields_to_update", "update_mask", "url", "headers",
                                         "payload", "client", "response", "field"};
const char* const l_delete_document[] = {"url", "headers", "client", "response"};
const char* const l_register[] = {"user_doc_path", "e", "data"};
const char* const l_refresh_id_token[] = {"refresh_endpoint", "payload", "client", "response"};
const char* const l_ensure_valid_token[] = {"time", "get_app", "app", "expiry", "current_time",
                                            "refresh_response", "e"};
const char* const l_trigger[] = {"get_app", "app", "headers", "firebase_function_url", "client",
                                 "ciphertext_b64", "response"};

// ---------------------------------------------------------------------------
// Docstrings.

constexpr const char doc_sealed_box_encrypt[] =
    "Encrypts the entire payload dict using the server's public key via a sealed box.\n"
    "\n"
    "    Returns base64-encoded ciphertext bytes suitable for sending as the request body.\n"
    "    The import of PyNaCl is local to avoid hard dependency at module import time.\n"
    "    ";
constexpr const char doc_auth_sign_in[] =
    "\n"
    "    Authenticates a user using Firebase email/password authentication. \n"
    "    Sends a POST request to the Firebase Auth REST API and returns the JSON response,\n"
    "    which includes the authentication token and related information.\n"
    "    ";
constexpr const char doc_auth_sign_up[] =
    "\n"
    "    Registers a new user using Firebase's signUp endpoint.\n"
    "    Sends a POST request to the Firebase Auth signUp REST API and returns the JSON response,\n"
    "    which includes the authentication token and related information.\n"
    "    ";
constexpr const char doc_verify_email[] =
    "\n"
    "    Sends a verification email for the currently authenticated user.\n"
    "    Uses Firebase's sendOobCode endpoint with requestType set to VERIFY_EMAIL.\n"
    "\n"
    "    Parameters:\n"
    "        id_token (str): The ID token of the authenticated user.\n"
    "\n"
    "    Returns:\n"
    "        dict: The JSON response from Firebase after sending the verification email.\n"
    "\n"
    "    Raises:\n"
    "        httpx.HTTPStatusError: If the HTTP request fails.\n"
    "    ";
constexpr const char doc_send_password_reset_email[] =
    "\n"
    "    Sends a password reset email using Firebase's sendOobCode endpoint.\n"
    "    The function builds a payload with the requestType set to PASSWORD_RESET and sends a POST\n"
    "    request to the endpoint. It returns the JSON response from Firebase and raises an error\n"
    "    if the request fails.\n"
    "    ";
constexpr const char doc_get_auth_user_data[] =
    "\n"
    "    Retrieves a user's data from Firebase using the provided ID token.\n"
    "\n"
    "    This function calls Firebase's 'accounts:lookup' endpoint with the provided idToken to\n"
    "    obtain user information. It expects the response to contain a 'users' key with a list of\n"
    "    user data objects. The first user object in this list is returned.\n"
    "\n"
    "    Parameters:\n"
    "        id_token (str): The ID token of the authenticated user.\n"
    "\n"
    "    Returns:\n"
    "        dict: A dictionary containing the user's data including fields such as email,\n"
    "              emailVerified, and disabled, among others.\n"
    "\n"
    "    Raises:\n"
    "        httpx.HTTPStatusError: If the HTTP request fails.\n"
    "        ValueError: If the response does not contain user data.\n"
    "    ";
constexpr const char doc_get_firestore_base_url[] =
    "Returns the base URL for Firestore REST API calls.";
constexpr const char doc_get_functions_base_url[] =
    "Returns the base URL for Cloud Functions REST API calls.";
constexpr const char doc_create_document[] =
    "\n"
    "    Creates a new document in the specified Firestore collection using an optional document_id.\n"
    "    If document_id is provided, it is used as the document identifier. If None, Firestore will auto-generate\n"
    "    the document id.\n"
    "    The data parameter should be a dictionary formatted according to Firestore's expected\n"
    "    schema (i.e., fields with type wrappers if needed).\n"
    "    ";
constexpr const char doc_get_document[] =
    "\n"
    "    Retrieves a document from Firestore. The document_path should be in the format\n"
    "    'collection/document_id'.\n"
    "    ";
constexpr const char doc_overwrite_document[] =
    "\n"
    "    Overwrites an existing Firestore document at the given document_path with new data.\n"
    "    ";
constexpr const char doc_update_document[] =
    "\n"
    "    Updates specified fields in an existing Firestore document at the given document_path\n"
    "    with new data. Uses a PATCH request so that only the specified fields are updated.\n"
    "    ";
constexpr const char doc_delete_document[] =
    "\n"
    "    Deletes the Firestore document at the specified document_path.\n"
    "    ";
constexpr const char doc_register_new_user_in_firestore[] =
    "\n"
    "    Registers a new user in Firestore under the 'users' collection with document id as local_id.\n"
    "    Stores email, user_id, created_at timestamp, and an 'active' status (initially false).\n"
    "    If a document for the given local_id already exists, an exception is raised.\n"
    "    Additionally, creates a document in the 'billing' collection with the initial balance set to 0.0.\n"
    "    ";
constexpr const char doc_get_token_expiry[] =
    "\n"
    "    Decodes the JWT token to extract its expiration timestamp (exp claim).\n"
    "    ";
constexpr const char doc_refresh_id_token[] =
    "\n"
    "    Refresh the Firebase ID token using the provided refresh token.\n"
    "    Makes a POST request to the secure token endpoint and returns the new token data.\n"
    "    ";
constexpr const char doc_ensure_valid_token[] =
    "\n"
    "    Ensures that the current Firebase ID token is valid. If the token is within 5 minutes of expiring,\n"
    "    it attempts to refresh the token using the refresh token. On successful refresh, updates the stored tokens.\n"
    "    If refresh fails, prompts the user to log in again.\n"
    "    ";
constexpr const char doc_trigger_function[] =
    "\n"
    "    Triggers a Firebase Cloud Function by making a POST request.\n"
    "\n"
    "    Parameters:\n"
    "        firebase_function (str): The Firebase Cloud Function to trigger (enum member's value).\n"
    "        payload (dict): The JSON payload to send in the POST request.\n"
    "        use_auth_token (bool): If True, the Firebase ID token will be used for authorization.\n"
    "                               Defaults to False.\n"
    "        additional_headers (Optional[Dict[str, str]]): Additional headers to include in the request.\n"
    "        timeout_seconds (float): Timeout for the HTTP request in seconds.\n"
    "        encrypt (bool): When True  the payload will be encrypted using sealed-box and\n"
    "                        sent as base64 in the request body.\n"
    "\n"
    "    Returns:\n"
    "        dict: The JSON response from the Firebase Cloud Function.\n"
    "\n"
    "    Raises:\n"
    "        httpx.HTTPStatusError: If the HTTP request returns an error status.\n"
    "    ";

// ---------------------------------------------------------------------------
// The table, in source order.

constexpr int TEMPS = 5;   // record slots the runtime keeps across awaits
constexpr int MAX_PARAMS = 6;

template <size_t N>
constexpr int count(const char* const (&)[N]) { return static_cast<int>(N); }

#define FB_PLAIN(name, params, line) \
    FunctionDef{#name, params, count(params), line, doc_##name, nullptr, name##_body, nullptr, 0, 0}
#define FB_PLAIN0(name, line) \
    FunctionDef{#name, nullptr, 0, line, doc_##name, nullptr, name##_body, nullptr, 0, 0}
#define FB_CORO(name, params, locals, line)                                                   \
    FunctionDef{#name, params, count(params), line, doc_##name, name##_body, nullptr, locals, \
                count(locals), TEMPS}
#define FB_CORO0(name, locals, line) \
    FunctionDef{#name, nullptr, 0, line, doc_##name, name##_body, nullptr, locals, count(locals), TEMPS}

FunctionDef g_functions[] = {
    FunctionDef{"_sealed_box_encrypt", p_payload, 1, 21, doc_sealed_box_encrypt, nullptr,
                sealed_box_encrypt_body, nullptr, 0, 0},
    FB_CORO(auth_sign_in, p_email_password, l_auth_sign_in, 41),
    FB_CORO(auth_sign_up, p_email_password, l_auth_sign_up, 60),
    FB_CORO(verify_email, p_id_token, l_verify_email, 79),
    FB_CORO(send_password_reset_email, p_email, l_reset_email, 105),
    FB_CORO(get_auth_user_data, p_id_token, l_user_data, 124),
    FB_PLAIN0(get_firestore_base_url, 156),
    FB_PLAIN0(get_functions_base_url, 162),
    FB_CORO(create_document, p_create_document, l_create_document, 168),
    FB_CORO(get_document, p_path_token, l_get_document, 189),
    FB_CORO(overwrite_document, p_path_data_token, l_overwrite_document, 203),
    FB_CORO(update_document, p_path_data_token, l_update_document, 217),
    FB_CORO(delete_document, p_path_token, l_delete_document, 237),
    FB_CORO(register_new_user_in_firestore, p_register, l_register, 250),
    FB_PLAIN(get_token_expiry, p_token, 288),
    FB_CORO(refresh_id_token, p_refresh_token, l_refresh_id_token, 309),
    FB_CORO0(ensure_valid_token, l_ensure_valid_token, 327),
    FB_CORO(trigger_function, p_trigger, l_trigger, 367),
};
#undef FB_PLAIN
#undef FB_PLAIN0
#undef FB_CORO
#undef FB_CORO0

constexpr int COUNT = static_cast<int>(Fn::count);
static_assert(sizeof(g_functions) / sizeof(g_functions[0]) == COUNT);

// Interned parameter names of every row, for binding by identity.
PyObject* g_param_names[COUNT][MAX_PARAMS] = {};
// The method definitions behind the function objects; they must outlive them.
PyMethodDef g_methods[COUNT] = {};

// ---------------------------------------------------------------------------
// Binding.

[[noreturn]] void positional_count_error(const FunctionDef& def, const char* qualifier,
                                         Py_ssize_t count, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.name, qualifier, count, count == 1 ? "" : "s", given);
    raise();
}

// Equality of a keyword name with a parameter name, identity aside: content
// for an exact str, the name's own equality operation for a str subclass.
bool names_equal(PyObject* key, PyObject* name) {
    if (PyUnicode_CheckExact(key)) return PyUnicode_Equal(key, name) == 1;
    return check_int(PyObject_RichCompareBool(key, name, Py_EQ)) == 1;
}

// Index of the parameter in [from, to) that `key` names, or -1.
int find_param(PyObject* key, PyObject* const* names, int from, int to) {
    for (int p = from; p < to; ++p)
        if (names[p] == key) return p;
    for (int p = from; p < to; ++p)
        if (names_equal(key, names[p])) return p;
    return -1;
}

// Fills values[0..N) with borrowed references; throws PyError with TypeError
// (or an error from a name comparison) set.
void bind(int row, const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
          PyObject* kwnames, PyObject** values) {
    const int n_params = def.nparams;
    const bool trigger = row == static_cast<int>(Fn::trigger_function);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    if (trigger) {
        if (nargs > n_params) positional_count_error(def, "at most", n_params, nargs);
        if (nkw == 0 && nargs < 2) positional_count_error(def, "at least", 2, nargs);
    } else if (nargs > n_params || (nkw == 0 && nargs != n_params)) {
        positional_count_error(def, "exactly", n_params, nargs);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

    if (nkw) {
        PyObject* const* names = g_param_names[row];
        const int first_free = static_cast<int>(nargs);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            int p = -1;
            for (int q = first_free; q < n_params; ++q) {
                if (names[q] == key) {
                    p = q;
                    break;
                }
            }
            if (p < 0) {
                if (!PyUnicode_Check(key)) {
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.name);
                    raise();
                }
                for (int q = first_free; q < n_params; ++q) {
                    if (names_equal(key, names[q])) {
                        p = q;
                        break;
                    }
                }
                if (p < 0) {
                    if (find_param(key, names, 0, first_free) >= 0)
                        PyErr_Format(PyExc_TypeError,
                                     "%s() got multiple values for keyword argument '%U'",
                                     def.name, key);
                    else
                        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                                     def.name, key);
                    raise();
                }
            }
            values[p] = args[nargs + j];
        }
        const int required = trigger ? 2 : n_params;
        for (int p = first_free; p < required; ++p) {
            if (!values[p]) {
                if (trigger)
                    positional_count_error(def, "at least", 2, p);
                else
                    positional_count_error(def, "exactly", n_params, p);
            }
        }
    }

    if (trigger) {
        if (!values[2]) values[2] = Py_False;
        if (!values[3]) values[3] = Py_None;
        if (!values[4]) values[4] = k::float_30;
        if (!values[5]) values[5] = Py_True;
    }
}

// A coroutine function's call after binding: a fresh record holding the
// arguments, handed to a new coroutine object.
PyObject* start_coroutine(FunctionDef& def, PyObject* const* values) {
    PyObject* record = Record_New(def.record_type);
    if (!record) {
        add_traceback(def.qualified, def.line);
        raise();
    }
    for (int i = 0; i < def.nparams; ++i) slot(record, i) = Py_NewRef(values[i]);
    PyObject* coro = Coroutine_New(def, record);
    if (!coro) {
        add_traceback(def.qualified, def.line);
        raise();
    }
    return coro;
}

PyObject* call(int row, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    FunctionDef& def = g_functions[row];
    PyObject* values[MAX_PARAMS] = {};
    try {
        bind(row, def, args, nargs, kwnames, values);
    } catch (const PyError&) {
        add_traceback(def.qualified, def.line);
        throw;
    }
    if (def.is_coroutine()) return start_coroutine(def, values);
    return def.plain(values);
}

PyObject* call_noargs(int row) {
    FunctionDef& def = g_functions[row];
    if (def.is_coroutine()) return start_coroutine(def, nullptr);
    return def.plain(nullptr);
}

// ---------------------------------------------------------------------------
// Entry points: one per row.

template <int I>
PyObject* entry_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    return guard<PyObject*>(nullptr, [&] { return call(I, args, nargs, kwnames); });
}

template <int I>
PyObject* entry_noargs(PyObject*, PyObject*) noexcept {
    return guard<PyObject*>(nullptr, [] { return call_noargs(I); });
}

template <size_t... I>
constexpr auto make_entries(std::index_sequence<I...>) {
    struct Entries {
        PyCFunctionFastWithKeywords fastcall[sizeof...(I)];
        PyCFunction noargs[sizeof...(I)];
    };
    return Entries{{&entry_fastcall<static_cast<int>(I)>...},
                   {&entry_noargs<static_cast<int>(I)>...}};
}
constexpr auto g_entries = make_entries(std::make_index_sequence<COUNT>{});

// A new interned str for a C string of the table.
Ref interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) raise();
    return Ref::steal(s);
}

// The code objects never run. They carry the interpreter's own placeholder
// body (what PyCode_NewEmpty makes: a few instructions that are never
// executed) and its line table, so that a frame made from one (cr_frame,
// which asyncio reads for a task's repr) reports the definition line instead
// of reading past an empty body.
struct Placeholder {
    Ref code, linetable;
};

Placeholder placeholder_body() {
    Ref empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty("tavrin/firebase", "placeholder", 1)));
    Placeholder p;
    p.code = check(reinterpret_cast<PyObject*>(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(empty.get()))));
    p.linetable = check(PyObject_GetAttrString(empty.get(), "co_linetable"));
    return p;
}

Ref make_code(const FunctionDef& def, const Placeholder& body) {
    const int nvars = def.nparams + def.nlocals;
    Ref varnames = check(PyTuple_New(nvars));
    for (int i = 0; i < def.nparams; ++i)
        PyTuple_SET_ITEM(varnames.get(), i, interned(def.params[i]).release());
    for (int i = 0; i < def.nlocals; ++i)
        PyTuple_SET_ITEM(varnames.get(), def.nparams + i, interned(def.locals[i]).release());
    PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
        def.nparams, 0, 0, nvars, 1, CO_OPTIMIZED | CO_NEWLOCALS | CO_COROUTINE, body.code.get(),
        k::empty_tuple, k::empty_tuple, varnames.get(), k::empty_tuple, k::empty_tuple,
        k::source_file, def.py_name, def.py_name, def.line, body.linetable.get(), k::empty_bytes);
    return check(reinterpret_cast<PyObject*>(code));
}

}  // namespace

FunctionDef& function(Fn f) { return g_functions[static_cast<int>(f)]; }

// Names, code objects and record types of every row. Kept for the life of
// the process; a repeated exec step (after a failed import) finds them made.
void make_function_data() {
    const Placeholder body = placeholder_body();
    for (int row = 0; row < COUNT; ++row) {
        FunctionDef& def = g_functions[row];
        if (!def.py_name) def.py_name = interned(def.name).release();
        if (!def.qualified) {
            PyObject* q = PyUnicode_FromFormat("%U.%U", k::module_name, def.py_name);
            if (!q) raise();
            PyUnicode_InternInPlace(&q);
            def.qualified = q;
        }
        for (int i = 0; i < def.nparams; ++i)
            if (!g_param_names[row][i]) g_param_names[row][i] = interned(def.params[i]).release();
        if (!def.is_coroutine()) continue;
        if (!def.code) def.code = make_code(def, body).release();
        if (!def.record_type) def.record_type = make_record_type(def);
    }
}

// The built-in function object of a row: bound to nothing (__self__ is None),
// __module__ "tavrin.firebase".
Ref make_function_object(Fn f) {
    const int row = static_cast<int>(f);
    const FunctionDef& def = g_functions[row];
    PyMethodDef& md = g_methods[row];
    md.ml_name = def.name;
    md.ml_doc = def.doc;
    if (def.nparams) {
        md.ml_meth = reinterpret_cast<PyCFunction>(
            reinterpret_cast<void (*)(void)>(g_entries.fastcall[row]));
        md.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    } else {
        md.ml_meth = g_entries.noargs[row];
        md.ml_flags = METH_NOARGS;
    }
    return check(PyCFunction_NewEx(&md, nullptr, k::module_name));
}

}  // namespace fb
