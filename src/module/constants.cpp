// The constant table: every string of strings.def, the empty objects, the
// numbers and the tuples. Made once by the exec step and kept for the life of
// the process; a repeated exec step (after a failed import) finds them made.
#include "module/constants.h"
#include "core/error.h"

namespace fb::k {

#define FB_IDENT(name, text) PyObject* name = nullptr;
#define FB_TEXT(name, text) PyObject* name = nullptr;
#include "module/strings.def"
#undef FB_IDENT
#undef FB_TEXT

PyObject* empty_tuple = nullptr;
PyObject* empty_bytes = nullptr;
PyObject* empty_str = nullptr;
PyObject* float_0 = nullptr;
PyObject* float_30 = nullptr;
PyObject* int_0 = nullptr;
PyObject* int_4 = nullptr;
PyObject* int_300 = nullptr;
PyObject* int_404 = nullptr;
PyObject* json_separators = nullptr;
PyObject* none3 = nullptr;
PyObject* isoformat_args = nullptr;
PyObject* utc_replace = nullptr;
PyObject* exp_default = nullptr;
// The keyword names of json.dumps(payload, separators=...).
PyObject* kw_separators = nullptr;
PyObject* fromlist_get_app = nullptr;
PyObject* kw_style = nullptr;

bool ready = false;

namespace {

enum class Kind : unsigned char { ident, text };

struct Row {
    PyObject** target;
    const char* text;
    Py_ssize_t length;
    Kind kind;
};

#define FB_IDENT(n, t) {&n, t, sizeof(t) - 1, Kind::ident},
#define FB_TEXT(n, t) {&n, t, sizeof(t) - 1, Kind::text},
const Row rows[] = {
#include "module/strings.def"
};
#undef FB_IDENT
#undef FB_TEXT

bool strings_made = false;
bool numbers_made = false;
bool tuples_made = false;

// Keeps a new reference for the life of the process.
void keep(PyObject*& target, Ref value) { target = value.release(); }

}  // namespace

void make_strings() {
    if (strings_made) return;
    if (!empty_tuple) keep(empty_tuple, check(PyTuple_New(0)));
    if (!empty_bytes) keep(empty_bytes, check(PyBytes_FromStringAndSize(nullptr, 0)));
    if (!empty_str) keep(empty_str, check(PyUnicode_FromStringAndSize(nullptr, 0)));
    for (const Row& row : rows) {
        if (*row.target) continue;   // made by an earlier, failed attempt
        PyObject* s = PyUnicode_DecodeUTF8(row.text, row.length, "strict");
        if (!s) raise();
        if (row.kind == Kind::ident) PyUnicode_InternInPlace(&s);
        Ref owned = Ref::steal(s);
        if (PyObject_Hash(s) == -1) raise();
        keep(*row.target, std::move(owned));
    }
    strings_made = true;
}

void make_numbers() {
    if (numbers_made) return;
    keep(float_0, check(PyFloat_FromDouble(0.0)));
    keep(float_30, check(PyFloat_FromDouble(30.0)));
    keep(int_0, check(PyLong_FromLong(0)));
    keep(int_4, check(PyLong_FromLong(4)));
    keep(int_300, check(PyLong_FromLong(300)));
    keep(int_404, check(PyLong_FromLong(404)));
    numbers_made = true;
}

void make_tuples() {
    if (tuples_made) return;
    keep(json_separators, check(PyTuple_Pack(2, comma, colon)));
    keep(none3, check(PyTuple_Pack(3, Py_None, Py_None, Py_None)));
    keep(isoformat_args, check(PyTuple_Pack(2, T, milliseconds)));
    keep(utc_replace, check(PyTuple_Pack(2, utc_offset, Z)));
    keep(exp_default, check(PyTuple_Pack(2, exp, int_0)));
    keep(kw_separators, check(PyTuple_Pack(1, separators)));
    keep(fromlist_get_app, check(PyTuple_Pack(1, get_app)));
    keep(kw_style, check(PyTuple_Pack(1, style)));
    tuples_made = true;
}

}  // namespace fb::k
