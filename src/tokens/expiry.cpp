// get_token_expiry: the "exp" claim of a JSON Web Token, or 0 when it cannot
// be read. No signature check, no clock, no network.
#include "core/error.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "module/state.h"
#include "runtime/traceback.h"

namespace fb {
namespace {

// Source lines of the statements, for traceback entries.
enum Line : int {
    SPLIT = 293,
    COUNT_TEST = 294,
    RAISE_FORMAT = 295,
    CLAIMS_SEGMENT = 296,
    PADDING_NEED = 298,
    PADDING_TEST = 299,
    PADDING_APPEND = 300,
    B64_DECODE = 301,
    JSON_PARSE = 302,
    EXP_CLAIM = 303,
};

Ref expiry(PyObject* token, int& line) {
    line = SPLIT;
    Ref parts = check(PyObject_CallMethodOneArg(token, k::split, k::dot));
    line = COUNT_TEST;
    if (check_size(PyObject_Length(parts.get())) != 3) {
        line = RAISE_FORMAT;
        PyErr_SetObject(g_state.value_error, k::msg_invalid_token_format);
        raise();
    }
    line = CLAIMS_SEGMENT;
    Ref segment;
    {
        Ref one = check(PyLong_FromLong(1));   // a cached small int
        segment = check(PyObject_GetItem(parts.get(), one.get()));
    }
    line = PADDING_NEED;
    const Py_ssize_t padding = check_size(PyObject_Length(segment.get())) % 4;
    line = PADDING_TEST;
    if (padding) {
        line = PADDING_APPEND;
        PyObject* pad = padding == 1 ? k::pad3 : padding == 2 ? k::pad2 : k::pad1;
        segment = check(PyNumber_InPlaceAdd(segment.get(), pad));
    }
    line = B64_DECODE;
    Ref decoded;
    {
        Ref base64 = lookup(k::base64);
        Ref decode = check(PyObject_GetAttr(base64.get(), k::urlsafe_b64decode));
        decoded = check(PyObject_CallOneArg(decode.get(), segment.get()));
    }
    line = JSON_PARSE;
    Ref claims;
    {
        Ref json = lookup(k::json);
        Ref loads = check(PyObject_GetAttr(json.get(), k::loads));
        Ref text = check(PyObject_CallMethodOneArg(decoded.get(), k::decode, k::utf_8));
        claims = check(PyObject_CallOneArg(loads.get(), text.get()));
    }
    line = EXP_CLAIM;
    PyObject* get_args[] = {claims.get(), k::exp, k::int_0};
    Ref exp = check(PyObject_VectorcallMethod(k::get, get_args, 3, nullptr));
    return check(PyNumber_Long(exp.get()));
}

}  // namespace

PyObject* get_token_expiry_body(PyObject* const* args) {
    int line = SPLIT;
    try {
        return expiry(args[0], line).release();
    } catch (const PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            add_traceback(function(Fn::get_token_expiry).qualified, line);
            throw;
        }
    }
    // except Exception: the failure is discarded unseen (no entry, nothing
    // chained), and the handled exception of the caller is left as it was.
    PyErr_Clear();
    return Py_NewRef(k::int_0);
}

}  // namespace fb
