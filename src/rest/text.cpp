#include "rest/text.h"

#include <algorithm>

namespace fb {

// One new str made of the given str pieces, sized and filled in one go.
Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 127;
    for (PyObject* p : parts) {
        length += PyUnicode_GET_LENGTH(p);
        maxchar = std::max<Py_UCS4>(maxchar, PyUnicode_MAX_CHAR_VALUE(p));
    }
    Ref out = check(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (PyUnicode_CopyCharacters(out.get(), at, p, 0, n) < 0) raise();
        at += n;
    }
    return out;
}

}  // namespace fb
