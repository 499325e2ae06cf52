// Owning handle for Python object references.
//
// Rules of use:
//  1. A Ref owns exactly one strong reference or nothing; its destructor drops it.
//  2. Make one with Ref::steal(p) for a new reference (the result of most C API
//     calls) and Ref::borrow(p) for a borrowed one (takes its own reference).
//  3. Hand ownership back to CPython with release(); the result must be used.
//  4. get() lends the pointer without changing ownership.
//  5. Never Py_DECREF by hand on an error path: let the Ref go out of scope.
//  6. A Ref never lives across a suspension of a coroutine body: anything a
//     suspended body still needs lives in its per-call record, where the
//     garbage collector can see it.
#pragma once
#include <Python.h>
#include <utility>

namespace fb {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return Ref(p); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Drops the held reference (if any) after the field is already empty, so a
    // destructor that runs arbitrary code never sees a half-updated handle.
    void reset() noexcept { PyObject* old = std::exchange(p_, nullptr); Py_XDECREF(old); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Replaces the strong reference held in a raw field (a record slot, an object
// member); the old value is dropped after the field already holds the new one.
inline void set_field(PyObject*& field, PyObject* new_ref) noexcept {
    PyObject* old = field;
    field = new_ref;
    Py_XDECREF(old);
}
inline void clear_field(PyObject*& field) noexcept { set_field(field, nullptr); }

}  // namespace fb
