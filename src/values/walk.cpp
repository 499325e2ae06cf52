#include "values/walk.h"
#include <cstdarg>

namespace fv {

void Walk::enter(PyObject* container) {
    if (levels_ == max_depth)
        fail(PyExc_ValueError, "nested deeper than %d levels of maps and arrays", max_depth);
    for (int i = 0; i < top_; ++i)
        if (steps_[i].container == container) fail(PyExc_ValueError, "the value contains itself");
    ++levels_;
    push(container);
}

Ref Walk::place() {
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
    if (!writer) fb::raise();
    auto write = [&](int r) {
        if (r < 0) {
            PyUnicodeWriter_Discard(writer);
            fb::raise();
        }
    };
    if (root_) write(PyUnicodeWriter_WriteUTF8(writer, root_, -1));
    for (int i = 0; i < top_; ++i) {
        const Step& s = steps_[i];
        if (s.key) {
            if (i > 0 || root_) write(PyUnicodeWriter_WriteChar(writer, '.'));
            write(PyUnicodeWriter_WriteStr(writer, s.key));
        } else if (s.index >= 0) {
            write(PyUnicodeWriter_Format(writer, "[%zd]", s.index));
        }
    }
    return fb::check(PyUnicodeWriter_Finish(writer));
}

void Walk::fail(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!message) fb::raise();
    Ref where = place();
    if (PyUnicode_GET_LENGTH(where.get()) == 0)
        PyErr_SetObject(type, message.get());
    else
        PyErr_Format(type, "%U: %U", where.get(), message.get());
    fb::raise();
}

Items::Items(PyObject* mapping) {
    if (PyDict_Check(mapping))
        dict_ = mapping;
    else
        list_ = fb::check(PyMapping_Items(mapping));
}

bool Items::next(Ref& key, Ref& value) {
    if (dict_) {
        PyObject *k, *v;
        CriticalSection cs(dict_);
        if (!PyDict_Next(dict_, &pos_, &k, &v)) return false;
        key = Ref::borrow(k);
        value = Ref::borrow(v);
        return true;
    }
    if (pos_ >= PyList_GET_SIZE(list_.get())) return false;
    PyObject* item = PyList_GET_ITEM(list_.get(), pos_++);
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2) {
        PyErr_SetString(PyExc_TypeError, "a Mapping's items() must give (key, value) pairs");
        fb::raise();
    }
    key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return true;
}

Ref convert_fields(Walk& w, PyObject* mapping, PyObject* key_error, Ref (*convert)(Walk&, PyObject*)) {
    Ref out = fb::check(PyDict_New());
    Items items(mapping);
    Ref key, value;
    while (items.next(key, value)) {
        if (!PyUnicode_Check(key.get())) {
            w.at(nullptr);   // not at the previous field
            w.fail(key_error, "a field name must be a str, not %T", key.get());
        }
        Ref name = PyUnicode_CheckExact(key.get()) ? std::move(key) : fb::check(PyUnicode_FromObject(key.get()));
        w.at(name.get());
        Ref converted = convert(w, value.get());
        fb::check_int(PyDict_SetItem(out.get(), name.get(), converted.get()));
    }
    return out;
}

}  // namespace fv
