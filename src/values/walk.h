// Where the codec is inside a value: the maps and arrays it has entered, and
// the field name or position it is at in each. Errors name that place:
// field names joined by ".", "[i]" for array positions, after the root's
// name where there is one ("<value>.note.tags[2]: ...").
#pragma once
#include <Python.h>
#include "core/error.h"
#include "values/state.h"

namespace fv {

using fb::Ref;

// Firestore holds maps and arrays nested at most this deep.
constexpr int max_depth = 20;

class Walk {
public:
    Walk(State* st, const char* root) noexcept : st(st), root_(root) {}

    State* const st;

    // Enters a map or array value: refuses one nested too deep or one that
    // contains itself (it is already among the containers entered).
    void enter(PyObject* container);
    // Enters the mapping of a document's fields, which is no level of its own.
    void enter_fields(PyObject* fields) noexcept { push(fields); }
    void leave() noexcept {
        --top_;
        --levels_;
    }
    // The current field name (kept alive by the caller) or array position.
    void at(PyObject* key) noexcept { steps_[top_ - 1].key = key; }
    void at(Py_ssize_t index) noexcept { steps_[top_ - 1] = {steps_[top_ - 1].container, nullptr, index}; }

    // Raises `type` with the place and the formatted message.
    [[noreturn]] void fail(PyObject* type, const char* format, ...);

private:
    struct Step {
        PyObject* container;
        PyObject* key;       // the field name, or nullptr at an array position
        Py_ssize_t index;
    };
    void push(PyObject* container) noexcept { steps_[top_++] = {container, nullptr, -1}; }
    Ref place();

    const char* root_;       // "<value>", or nullptr where a field name comes first
    int levels_ = 0;         // maps and arrays entered
    int top_ = 0;
    Step steps_[max_depth + 2];
};

// Holds an object's critical section for a scope, released on every way out
// (a throw included). Without free threading it does nothing.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* op) noexcept { PyCriticalSection_Begin(&cs_, op); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
private:
    PyCriticalSection cs_;
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
};

// A mapping's items one by one, as strong references: a dict under its
// critical section (its entries may be replaced meanwhile by the code we
// call, so each is held while in use), any other Mapping through items().
// A mapping that changes size meanwhile is refused (RuntimeError), as a
// dict's iterator refuses it, rather than read without end.
class Items {
public:
    // `mapping` is the container `w` is in.
    Items(Walk& w, PyObject* mapping);
    // False at the end; otherwise key and value hold the next item.
    bool next(Ref& key, Ref& value);

private:
    [[noreturn]] void fail(PyObject* type, const char* message);

    Walk& w_;
    PyObject* dict_ = nullptr;
    Py_ssize_t pos_ = 0;
    Py_ssize_t size_;
    Ref list_;               // items() of another Mapping
};

// A mapping's items, each value converted by `convert`, as a new dict with
// the same (str) keys; a key of another type raises `key_error`.
Ref convert_fields(Walk& w, PyObject* mapping, PyObject* key_error, Ref (*convert)(Walk&, PyObject*));

}  // namespace fv
