// Text conversion for addresses, headers and messages: an exact str is used
// unchanged; anything else goes through format(value, "").
// Pieces of an address are then percent-encoded (UTF-8), so that a reserved
// character in an id or a field name cannot end the path, split the query or
// start a fragment: the request must reach the document the caller named.
#pragma once
#include <initializer_list>
#include "core/error.h"
#include "module/constants.h"

namespace fb {

inline Ref to_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    return check(PyObject_Format(v, k::empty_str));
}

// The text of v as a path piece: keeps RFC 3986's unreserved characters, the
// sub-delimiters, ":", "@" and "/" (segments stay segments). A text with a
// "." or ".." segment raises ValueError: httpx would resolve it away.
Ref path_text(PyObject* v);
// The same for a function name, whose first segment follows "API_VERSION_"
// in one URL segment and so is never a dot segment by itself.
Ref function_path_text(PyObject* v);
// The text of v as a query value: keeps the unreserved characters and
// "!$'()*,;:@/?"; "&", "=", "+", "#", "%" and space are encoded.
Ref query_text(PyObject* v);
// The text of v as a Firestore field path in a query value, v named as
// json.dumps names a dict key (the body's name for the field): a simple name
// ([A-Za-z_][A-Za-z0-9_]*) as it is, any other text in backticks with "\"
// and "`" escaped by "\", so that "z.y" names the top-level field "z.y".
Ref field_path_text(PyObject* v);
// A text that needs no encoding comes back as the same object, so plain ids
// give the very requests they always gave. A str that cannot be UTF-8 (a lone
// surrogate) raises UnicodeEncodeError.

// One new str made of the given str pieces, sized and filled in one go.
Ref concat(std::initializer_list<PyObject*> parts);

}  // namespace fb
