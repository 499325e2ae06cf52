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

Items::Items(Walk& w, PyObject* mapping) : w_(w) {
    if (PyDict_Check(mapping))
        dict_ = mapping;
    else
        list_ = fb::check(PyMapping_Items(mapping));
    size_ = dict_ ? PyDict_GET_SIZE(dict_) : PyList_GET_SIZE(list_.get());
}

void Items::fail(PyObject* type, const char* message) {
    w_.at(nullptr);   // at the mapping itself, not at its previous field
    w_.fail(type, "%s", message);
}

bool Items::next(Ref& key, Ref& value) {
    constexpr const char* changed = "the mapping changed size while it was read";
    if (dict_) {
        PyObject *k = nullptr, *v = nullptr;
        bool same;
        {
            CriticalSection cs(dict_);
            same = PyDict_GET_SIZE(dict_) == size_;
            if (same && PyDict_Next(dict_, &pos_, &k, &v)) {
                key = Ref::borrow(k);
                value = Ref::borrow(v);
            }
        }
        if (!same) fail(PyExc_RuntimeError, changed);
        return k != nullptr;
    }
    // The list may be the Mapping's own, changed by the code we call.
    if (PyList_GET_SIZE(list_.get()) != size_) fail(PyExc_RuntimeError, changed);
    if (pos_ == size_) return false;
    Ref item = fb::check(PyList_GetItemRef(list_.get(), pos_++));
    if (!PyTuple_Check(item.get()) || PyTuple_GET_SIZE(item.get()) != 2)
        fail(PyExc_TypeError, "a Mapping's items() must give (key, value) pairs");
    key = Ref::borrow(PyTuple_GET_ITEM(item.get(), 0));
    value = Ref::borrow(PyTuple_GET_ITEM(item.get(), 1));
    return true;
}

Ref convert_fields(Walk& w, PyObject* mapping, PyObject* key_error, Ref (*convert)(Walk&, PyObject*)) {
    Ref out = fb::check(PyDict_New());
    Items items(w, mapping);
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
