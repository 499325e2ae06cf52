// Text conversion for addresses, headers and messages: an exact str is used
// unchanged; anything else goes through format(value, "").
// Nothing is escaped or encoded.
#pragma once
#include <initializer_list>
#include "core/error.h"
#include "module/constants.h"

namespace fb {

inline Ref to_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    return check(PyObject_Format(v, k::empty_str));
}

// One new str made of the given str pieces, sized and filled in one go.
Ref concat(std::initializer_list<PyObject*> parts);

}  // namespace fb
