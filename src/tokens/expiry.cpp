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

// The claim as an int, or null with the failing step's exception set and
// `line` at that step; no C++ throws, since a bad token is a common input.
Ref expiry(PyObject* token, int& line) noexcept {
    line = SPLIT;
    Ref parts = Ref::steal(PyObject_CallMethodOneArg(token, k::split, k::dot));
    if (!parts) return {};
    line = COUNT_TEST;
    const Py_ssize_t count = PyObject_Length(parts.get());
    if (count < 0) return {};
    if (count != 3) {
        line = RAISE_FORMAT;
        PyErr_SetObject(g_state.value_error, k::msg_invalid_token_format);
        return {};
    }
    line = CLAIMS_SEGMENT;
    Ref one = Ref::steal(PyLong_FromLong(1));   // a cached small int
    Ref segment = Ref::steal(PyObject_GetItem(parts.get(), one.get()));
    if (!segment) return {};
    line = PADDING_NEED;
    const Py_ssize_t length = PyObject_Length(segment.get());
    if (length < 0) return {};
    line = PADDING_TEST;
    if (const Py_ssize_t padding = length % 4) {
        line = PADDING_APPEND;
        PyObject* pad = padding == 1 ? k::pad3 : padding == 2 ? k::pad2 : k::pad1;
        segment = Ref::steal(PyNumber_InPlaceAdd(segment.get(), pad));
        if (!segment) return {};
    }
    line = B64_DECODE;
    Ref base64 = try_lookup(k::base64);
    Ref decode = base64 ? Ref::steal(PyObject_GetAttr(base64.get(), k::urlsafe_b64decode)) : Ref{};
    Ref decoded = decode ? Ref::steal(PyObject_CallOneArg(decode.get(), segment.get())) : Ref{};
    if (!decoded) return {};
    line = JSON_PARSE;
    Ref json = try_lookup(k::json);
    Ref loads = json ? Ref::steal(PyObject_GetAttr(json.get(), k::loads)) : Ref{};
    Ref text = loads ? Ref::steal(PyObject_CallMethodOneArg(decoded.get(), k::decode, k::utf_8)) : Ref{};
    Ref claims = text ? Ref::steal(PyObject_CallOneArg(loads.get(), text.get())) : Ref{};
    if (!claims) return {};
    line = EXP_CLAIM;
    PyObject* get_args[] = {claims.get(), k::exp, k::int_0};
    Ref exp = Ref::steal(PyObject_VectorcallMethod(k::get, get_args, 3, nullptr));
    if (!exp) return {};
    return Ref::steal(PyNumber_Long(exp.get()));
}

}  // namespace

PyObject* get_token_expiry_body(PyObject* const* args) {
    int line = SPLIT;
    if (Ref exp = expiry(args[0], line)) return exp.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        add_traceback(function(Fn::get_token_expiry).qualified, line);
        raise();
    }
    // except Exception: the failure is discarded unseen (no entry, nothing
    // chained), and the handled exception of the caller is left as it was.
    PyErr_Clear();
    return Py_NewRef(k::int_0);
}

}  // namespace fb
