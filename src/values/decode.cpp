#include <cmath>
#include <cstring>
#include "values/codec.h"
#include "values/text.h"
#include "values/types.h"

namespace fv {

using fb::check;
using fb::check_int;

namespace {

// The characters of an ASCII str, or nullptr for any other object.
const char* ascii_of(PyObject* s, std::size_t& n) {
    if (!PyUnicode_Check(s) || !PyUnicode_IS_ASCII(s)) return nullptr;
    n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    return reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
}

bool is_number(PyObject* v) { return PyFloat_Check(v) || (PyLong_Check(v) && !PyBool_Check(v)); }

[[noreturn]] void malformed(Walk& w, Key kind, const char* expected, PyObject* content) {
    w.fail(PyExc_ValueError, "%U must be %s, not %.80R", w.st->key(kind), expected, content);
}

// The members of a dict that may hold only the given keys: false when it
// holds any other.
template <std::size_t N>
bool members(PyObject* d, PyObject* const (&keys)[N], Ref (&out)[N]) {
    Py_ssize_t found = 0;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* raw = nullptr;
        found += check_int(PyDict_GetItemRef(d, keys[i], &raw));
        out[i] = Ref::steal(raw);
    }
    return found == PyDict_GET_SIZE(d);
}

Ref null_value(Walk& w, PyObject* c) {
    std::size_t n;
    const char* s = ascii_of(c, n);
    if (c != Py_None && !(s && n == 10 && std::memcmp(s, "NULL_VALUE", n) == 0))
        malformed(w, Key::nullValue, "null", c);
    return Ref::borrow(Py_None);
}

Ref boolean_value(Walk& w, PyObject* c) {
    if (!PyBool_Check(c)) malformed(w, Key::booleanValue, "true or false", c);
    return Ref::borrow(c);
}

Ref integer_value(Walk& w, PyObject* c) {
    std::size_t n;
    int64_t value;
    if (const char* s = ascii_of(c, n); s && text::parse_int64(s, n, value))
        return check(PyLong_FromLongLong(value));
    if (PyLong_Check(c) && !PyBool_Check(c)) {
        int overflow;
        const long long v = PyLong_AsLongLongAndOverflow(c, &overflow);
        if (v == -1 && PyErr_Occurred()) fb::raise();
        if (!overflow) return PyLong_CheckExact(c) ? Ref::borrow(c) : check(PyLong_FromLongLong(v));
    }
    if (PyFloat_Check(c)) {
        const double d = PyFloat_AS_DOUBLE(c);
        if (d == std::trunc(d) && d >= -0x1p63 && d < 0x1p63) return check(PyLong_FromDouble(d));
    }
    malformed(w, Key::integerValue, "a decimal string or an integer within 64 bits", c);
}

Ref double_value(Walk& w, PyObject* c) {
    if (PyFloat_CheckExact(c)) return Ref::borrow(c);
    if (PyFloat_Check(c)) return check(PyFloat_FromDouble(PyFloat_AS_DOUBLE(c)));
    if (PyLong_Check(c) && !PyBool_Check(c)) {
        const double d = PyLong_AsDouble(c);
        if (d == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) fb::raise();
            PyErr_Clear();
        } else {
            return check(PyFloat_FromDouble(d));
        }
    } else {
        static const struct { Key key; double value; } words[] = {
            {Key::nan, NAN}, {Key::inf, INFINITY}, {Key::neg_inf, -INFINITY}};
        std::size_t n;
        if (const char* s = ascii_of(c, n))
            for (const auto& word : words) {
                PyObject* k = w.st->key(word.key);
                if (static_cast<std::size_t>(PyUnicode_GET_LENGTH(k)) == n &&
                    std::memcmp(PyUnicode_1BYTE_DATA(k), s, n) == 0)
                    return check(PyFloat_FromDouble(word.value));
            }
    }
    malformed(w, Key::doubleValue, "a number, \"NaN\", \"Infinity\" or \"-Infinity\"", c);
}

Ref timestamp_value(Walk& w, PyObject* c) {
    std::size_t n;
    const char* s = ascii_of(c, n);
    text::Moment m;
    if (!s || !text::parse_timestamp(s, n, m))
        malformed(w, Key::timestampValue, "an RFC 3339 time (2024-05-01T12:00:00.5Z)", c);
    if (!text::in_datetime_range(m))
        w.fail(PyExc_ValueError, "timestampValue %R lies outside the years 0001-9999 in UTC", c);
    const PyDateTime_CAPI* api = w.st->datetime;
    return check(api->DateTime_FromDateAndTime(m.year, m.month, m.day, m.hour, m.minute, m.second,
                                                m.microsecond, api->TimeZone_UTC, api->DateTimeType));
}

Ref string_value(Walk& w, PyObject* c) {
    if (PyUnicode_CheckExact(c)) return Ref::borrow(c);
    if (!PyUnicode_Check(c)) malformed(w, Key::stringValue, "a string", c);
    return check(PyUnicode_FromObject(c));
}

Ref bytes_value(Walk& w, PyObject* c) {
    std::size_t n;
    const char* s = ascii_of(c, n);
    const std::ptrdiff_t size = s ? text::base64_decoded_length(s, n) : -1;
    if (size < 0) malformed(w, Key::bytesValue, "standard base64 with padding", c);
    Ref bytes = check(PyBytes_FromStringAndSize(nullptr, size));
    text::base64_decode(s, n, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())));
    return bytes;
}

Ref reference_value(Walk& w, PyObject* c) {
    if (!PyUnicode_Check(c)) malformed(w, Key::referenceValue, "a document name", c);
    Ref name = check(PyUnicode_FromObject(c));
    Py_ssize_t path_start;
    if (const char* problem = reference_problem(name.get(), &path_start))
        w.fail(PyExc_ValueError, "%s, not %.200R", problem, c);
    return new_reference(w.st->reference_type, name.get(), path_start);
}

Ref geopoint_value(Walk& w, PyObject* c) {
    PyObject* const keys[] = {w.st->key(Key::latitude), w.st->key(Key::longitude)};
    Ref found[2];
    double degrees[2] = {0.0, 0.0};
    if (!PyDict_Check(c) || !members(c, keys, found))
        malformed(w, Key::geoPointValue, "a dict of latitude and longitude", c);
    for (int i = 0; i < 2; ++i) {
        if (!found[i]) continue;   // Firestore leaves out a zero
        if (!is_number(found[i].get()))
            malformed(w, Key::geoPointValue, "a dict of latitude and longitude", c);
        degrees[i] = PyFloat_Check(found[i].get()) ? PyFloat_AS_DOUBLE(found[i].get())
                                                   : PyLong_AsDouble(found[i].get());
        if (degrees[i] == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            degrees[i] = INFINITY;   // refused below
        }
    }
    if (const char* problem = geopoint_problem(degrees[0], degrees[1]))
        w.fail(PyExc_ValueError, "%s, not %.80R", problem, c);
    return new_geopoint(w.st->geopoint_type, degrees[0], degrees[1]);
}

// The content of an arrayValue or mapValue: {} or {member: items}.
Ref container_items(Walk& w, Key kind, Key member, PyObject* c) {
    PyObject* const keys[] = {w.st->key(member)};
    Ref found[1];
    if (!PyDict_Check(c) || !members(c, keys, found))
        w.fail(PyExc_ValueError, "%U must be {} or {\"%U\": ...}, not %.80R", w.st->key(kind),
               w.st->key(member), c);
    return std::move(found[0]);
}

Ref array_value(Walk& w, PyObject* c) {
    Ref values = container_items(w, Key::arrayValue, Key::values, c);
    if (!values) return check(PyList_New(0));
    if (!PyList_Check(values.get())) malformed(w, Key::arrayValue, "{\"values\": [...]}", c);
    w.enter(c);
    PyObject* list = values.get();
    Ref out = check(PyList_New(0));
    for (Py_ssize_t i = 0;; ++i) {
        Ref item = Ref::steal(PyList_GetItemRef(list, i));
        if (!item) {
            PyErr_Clear();   // past the end (the list may change meanwhile)
            break;
        }
        w.at(i);
        Ref value = decode_value(w, item.get());
        check_int(PyList_Append(out.get(), value.get()));
    }
    w.leave();
    return out;
}

Ref map_value(Walk& w, PyObject* c) {
    Ref fields = container_items(w, Key::mapValue, Key::fields, c);
    if (!fields) return check(PyDict_New());
    w.enter(c);
    Ref out = decode_fields(w, fields.get());
    w.leave();
    return out;
}

// The kinds, in the order of their keys in state.h.
using Decoder = Ref (*)(Walk&, PyObject*);
constexpr Decoder decoders[] = {null_value, boolean_value, integer_value, double_value,
                                timestamp_value, string_value, bytes_value, reference_value,
                                geopoint_value, array_value, map_value};
constexpr int kinds = static_cast<int>(Key::mapValue) + 1;
static_assert(sizeof decoders / sizeof decoders[0] == kinds);

int kind_of(State* st, PyObject* key) {
    std::size_t n;
    const char* s = ascii_of(key, n);
    if (!s) return -1;
    for (int i = 0; i < kinds; ++i) {
        PyObject* k = st->keys[i];
        if (k == key || (static_cast<std::size_t>(PyUnicode_GET_LENGTH(k)) == n &&
                         std::memcmp(PyUnicode_1BYTE_DATA(k), s, n) == 0))
            return i;
    }
    return -1;
}

}  // namespace

Ref decode_value(Walk& w, PyObject* typed) {
    if (!PyDict_Check(typed))
        w.fail(PyExc_ValueError, "a typed value must be a dict of one kind, not %T", typed);
    Ref kind, content;
    Py_ssize_t size;
    {
        fv::CriticalSection cs(typed);
        size = PyDict_GET_SIZE(typed);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        if (size == 1 && PyDict_Next(typed, &pos, &k, &v)) {
            kind = Ref::borrow(k);
            content = Ref::borrow(v);
        }
    }
    if (!kind) w.fail(PyExc_ValueError, "a typed value must hold one kind, not %zd keys", size);
    const int i = kind_of(w.st, kind.get());
    if (i < 0) w.fail(PyExc_ValueError, "unknown kind of value %.80R", kind.get());
    return decoders[i](w, content.get());
}

Ref decode_fields(Walk& w, PyObject* fields) {
    if (!PyDict_Check(fields)) w.fail(PyExc_ValueError, "fields must be a dict, not %T", fields);
    return convert_fields(w, fields, PyExc_ValueError, decode_value);
}

}  // namespace fv
