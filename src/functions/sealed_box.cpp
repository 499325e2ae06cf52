// _sealed_box_encrypt: the payload as compact JSON, sealed to the server's
// public key (an anonymous sealed box of PyNaCl) and base64-encoded.
#include "core/error.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "module/state.h"
#include "runtime/traceback.h"

namespace fb {

namespace {

enum Line : int {
    SERIALISE = 28,
    DECODE_KEY = 29,
    LENGTH_TEST = 30,
    LENGTH_ERROR = 31,
    KEY_OBJECT = 32,
    BOX = 33,
    ENCRYPT = 34,
    ENCODE = 35,
    REPLACEMENT = 37,
};
constexpr Py_ssize_t KEY_SIZE = 32;

Ref seal(PyObject* payload, int& line) {
    line = SERIALISE;
    Ref plaintext;
    {
        Ref json = lookup(k::json);
        Ref dumps = check(PyObject_GetAttr(json.get(), k::dumps));
        PyObject* args[] = {nullptr, payload, k::json_separators};
        Ref text = check(PyObject_Vectorcall(dumps.get(), args + 1,
                                             1 | PY_VECTORCALL_ARGUMENTS_OFFSET, k::kw_separators));
        plaintext = check(PyObject_CallMethodOneArg(text.get(), k::encode, k::utf_8));
    }
    line = DECODE_KEY;
    Ref key;
    {
        Ref base64 = lookup(k::base64);
        Ref b64decode = check(PyObject_GetAttr(base64.get(), k::b64decode));
        Ref encoded = lookup(k::SEALED_BOX_SERVER_PUBLIC_KEY_B64);
        key = check(PyObject_CallOneArg(b64decode.get(), encoded.get()));
    }
    line = LENGTH_TEST;
    if (check_size(PyObject_Length(key.get())) != KEY_SIZE) {
        line = LENGTH_ERROR;
        PyErr_SetObject(g_state.value_error, k::msg_key_length);
        raise();
    }
    line = KEY_OBJECT;
    Ref public_key;
    {
        Ref cls = lookup(k::PublicKey);
        public_key = check(PyObject_CallOneArg(cls.get(), key.get()));
    }
    line = BOX;
    Ref box;
    {
        Ref cls = lookup(k::SealedBox);
        box = check(PyObject_CallOneArg(cls.get(), public_key.get()));
    }
    line = ENCRYPT;
    Ref sealed = check(PyObject_CallMethodOneArg(box.get(), k::encrypt, plaintext.get()));
    line = ENCODE;
    Ref base64 = lookup(k::base64);
    Ref b64encode = check(PyObject_GetAttr(base64.get(), k::b64encode));
    return check(PyObject_CallOneArg(b64encode.get(), sealed.get()));
}

// Raises Exception("Failed to encrypt request payload: <e>") while `e` is
// the handled exception, so that `e` becomes its context (not its cause).
void raise_replacement(PyObject* e) {
    Ref previous = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(e);
    try {
        Ref text = check(PyObject_Format(e, k::empty_str));
        Ref message = check(PyUnicode_Concat(k::msg_encrypt_failed, text.get()));
        Ref exc = check(PyObject_CallOneArg(PyExc_Exception, message.get()));
        PyErr_SetObject(PyExc_Exception, exc.get());
    } catch (const PyError&) {
        // Whatever failed while building the replacement is raised instead.
    }
    PyErr_SetHandledException(previous.get());
}

}  // namespace

PyObject* sealed_box_encrypt_body(PyObject* const* args) {
    PyObject* qualified = function(Fn::sealed_box_encrypt).qualified;
    int line = SERIALISE;
    try {
        return seal(args[0], line).release();
    } catch (const PyError&) {
        add_traceback(qualified, line);
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    }
    Ref caught = Ref::steal(PyErr_GetRaisedException());
    raise_replacement(caught.get());
    add_traceback(qualified, REPLACEMENT);
    raise();
}

}  // namespace fb
