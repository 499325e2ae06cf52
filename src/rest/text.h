// Text conversion for addresses, headers and messages: an exact str is used
// unchanged; anything else goes through format() with an empty specification.
// Nothing is escaped or encoded.
#pragma once
#include "core/error.h"
#include "module/constants.h"

namespace fb {

inline Ref to_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    return check(PyObject_Format(v, k::empty_str));
}

}  // namespace fb
