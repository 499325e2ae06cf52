#include <charconv>
#include <cmath>
#include <cstring>
#include "values/codec.h"
#include "values/text.h"
#include "values/types.h"

namespace fv {

using fb::check;
using fb::check_int;

namespace {

// An exact str of ASCII characters.
Ref ascii(const char* s, std::size_t n) {
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), s, n);
    return text;
}

// {key: content}
Ref typed(State* st, Key key, PyObject* content) {
    Ref d = check(PyDict_New());
    check_int(PyDict_SetItem(d.get(), st->key(key), content));
    return d;
}
Ref typed(State* st, Key key, const Ref& content) { return typed(st, key, content.get()); }

Ref integer_text(Walk& w, PyObject* v) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow) w.fail(PyExc_ValueError, "an integer outside 64 bits cannot be stored in Firestore");
    if (n == -1 && PyErr_Occurred()) fb::raise();
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, n).ptr;
    return ascii(buf, static_cast<std::size_t>(end - buf));
}

Ref double_content(State* st, PyObject* v) {
    const double d = PyFloat_AS_DOUBLE(v);
    if (std::isnan(d)) return Ref::borrow(st->key(Key::nan));
    if (std::isinf(d)) return Ref::borrow(st->key(d > 0 ? Key::inf : Key::neg_inf));
    return PyFloat_CheckExact(v) ? Ref::borrow(v) : check(PyFloat_FromDouble(d));
}

// The buffer of a bytes-like object, released on every way out.
class Buffer {
public:
    explicit Buffer(PyObject* o) { check_int(PyObject_GetBuffer(o, &view_, PyBUF_SIMPLE)); }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_;
};

Ref base64_text(PyObject* v) {
    // A memoryview may be strided: its bytes, copied in order.
    Ref bytes = PyMemoryView_Check(v) ? check(PyBytes_FromObject(v)) : Ref::borrow(v);
    Buffer buffer(bytes.get());
    const std::size_t n = text::base64_length(buffer.size());
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    text::base64_encode(buffer.data(), buffer.size(),
                        reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())));
    return text;
}

Ref timestamp_text(Walk& w, PyObject* v) {
    const PyDateTime_CAPI* api = w.st->datetime;
    int64_t offset_us = 0;
    PyObject* tzinfo = PyDateTime_DATE_GET_TZINFO(v);
    if (tzinfo != api->TimeZone_UTC) {
        // The moment as datetime's comparisons and astimezone() find it: from
        // the time zone (a subclass's own utcoffset() plays no part), whose
        // offset datetime holds within a day.
        Ref offset = tzinfo == Py_None
            ? Ref() : check(PyObject_CallMethodOneArg(tzinfo, w.st->key(Key::utcoffset), v));
        if (!offset || offset.get() == Py_None)
            w.fail(PyExc_ValueError, "a naive datetime cannot be stored in Firestore; give it a time zone");
        PyObject* o = offset.get();
        if (!PyObject_TypeCheck(o, api->DeltaType))
            w.fail(PyExc_TypeError, "the time zone's utcoffset() gave %T, not a timedelta", o);
        const int days = PyDateTime_DELTA_GET_DAYS(o), seconds = PyDateTime_DELTA_GET_SECONDS(o),
                  us = PyDateTime_DELTA_GET_MICROSECONDS(o);
        if (days != 0 && !(days == -1 && (seconds || us)))
            w.fail(PyExc_ValueError, "the time zone's offset %R is not within a day", o);
        offset_us = (int64_t{days} * 86400 + seconds) * 1'000'000 + us;
    }
    const text::Moment local{PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
                             PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
                             PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v)};
    const text::Moment utc = text::from_epoch_us(text::to_epoch_us(local) - offset_us);
    if (!text::in_datetime_range(utc))
        w.fail(PyExc_ValueError, "%R lies outside the years 0001-9999 in UTC", v);
    char buf[32];
    return ascii(buf, text::format_timestamp(utc, buf));
}

Ref geopoint_content(State* st, PyObject* v) {
    auto* g = reinterpret_cast<GeoPointObject*>(v);
    Ref content = check(PyDict_New());
    Ref lat = check(PyFloat_FromDouble(g->latitude)), lon = check(PyFloat_FromDouble(g->longitude));
    check_int(PyDict_SetItem(content.get(), st->key(Key::latitude), lat.get()));
    check_int(PyDict_SetItem(content.get(), st->key(Key::longitude), lon.get()));
    return content;
}

// {} when empty, else {member: items}.
Ref container_content(State* st, Key member, Ref items, Py_ssize_t size) {
    Ref content = check(PyDict_New());
    if (size) check_int(PyDict_SetItem(content.get(), st->key(member), items.get()));
    return content;
}

Ref map_content(Walk& w, PyObject* mapping) {
    w.enter(mapping);
    Ref fields = encode_fields(w, mapping);
    w.leave();
    const Py_ssize_t n = PyDict_GET_SIZE(fields.get());
    return container_content(w.st, Key::fields, std::move(fields), n);
}

Ref array_content(Walk& w, PyObject* sequence) {
    w.enter(sequence);
    const bool list = PyList_Check(sequence);
    const Py_ssize_t n = list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
    // Filled by appending: the code an element calls may see every list (gc),
    // so none may hold an empty slot meanwhile.
    Ref values = check(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        w.at(i);
        // A list may be changed by the code an element calls (utcoffset):
        // take each element as a strong reference, and notice a change of size.
        Ref item = list ? Ref::steal(PyList_GetItemRef(sequence, i))
                        : Ref::borrow(PyTuple_GET_ITEM(sequence, i));
        if (!item) {
            PyErr_Clear();
            w.fail(PyExc_RuntimeError, "the list changed size while it was encoded");
        }
        if (PyList_Check(item.get()) || PyTuple_Check(item.get()))
            w.fail(PyExc_ValueError,
                   "Firestore cannot store an array directly inside an array (put a map between)");
        check_int(PyList_Append(values.get(), encode_value(w, item.get()).get()));
    }
    if (list && PyList_GET_SIZE(sequence) != n)
        w.fail(PyExc_RuntimeError, "the list changed size while it was encoded");
    w.leave();
    return container_content(w.st, Key::values, std::move(values), n);
}

}  // namespace

bool is_mapping(State* st, PyObject* value) {
    return PyDict_Check(value) || check_int(PyObject_IsInstance(value, st->mapping_abc));
}

Ref encode_value(Walk& w, PyObject* v) {
    State* st = w.st;
    // The common kinds first, by exact type.
    if (PyUnicode_CheckExact(v)) return typed(st, Key::stringValue, v);
    if (PyBool_Check(v)) return typed(st, Key::booleanValue, v);
    if (PyLong_Check(v)) return typed(st, Key::integerValue, integer_text(w, v));
    if (PyFloat_Check(v)) return typed(st, Key::doubleValue, double_content(st, v));
    if (v == Py_None) return typed(st, Key::nullValue, v);
    if (PyDict_Check(v)) return typed(st, Key::mapValue, map_content(w, v));
    if (PyList_Check(v) || PyTuple_Check(v)) return typed(st, Key::arrayValue, array_content(w, v));
    if (PyObject_TypeCheck(v, st->datetime->DateTimeType))
        return typed(st, Key::timestampValue, timestamp_text(w, v));
    if (PyUnicode_Check(v)) return typed(st, Key::stringValue, check(PyUnicode_FromObject(v)));
    if (PyBytes_Check(v) || PyByteArray_Check(v) || PyMemoryView_Check(v))
        return typed(st, Key::bytesValue, base64_text(v));
    if (Py_IS_TYPE(v, st->geopoint_type)) return typed(st, Key::geoPointValue, geopoint_content(st, v));
    if (Py_IS_TYPE(v, st->reference_type))
        return typed(st, Key::referenceValue, reinterpret_cast<ReferenceObject*>(v)->name);
    if (is_mapping(st, v)) return typed(st, Key::mapValue, map_content(w, v));
    w.fail(PyExc_TypeError, "cannot store a value of type %T in Firestore", v);
}

Ref encode_fields(Walk& w, PyObject* mapping) {
    return convert_fields(w, mapping, PyExc_TypeError, encode_value);
}

}  // namespace fv
