#include "rest/text.h"

#include "module/state.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <string_view>

namespace fb {
namespace {

// The ASCII bytes an address piece keeps as they are.
using Keep = std::array<bool, 128>;

constexpr Keep keep_with(std::string_view extra) {
    Keep keep{};
    for (unsigned char c = 0; c < 128; ++c)
        keep[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.' || c == '_' || c == '~';
    for (char c : extra) keep[static_cast<unsigned char>(c)] = true;
    return keep;
}

constexpr Keep path_keep = keep_with("/!$&'()*+,;=:@");
constexpr Keep query_keep = keep_with("!$'()*,;:@/?");

bool kept(const Keep& keep, unsigned char c) { return c < 128 && keep[c]; }

std::string_view utf8(PyObject* text) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(text, &n);
    if (!p) raise();
    return {p, static_cast<size_t>(n)};
}

// %XX (upper-case hex, as urllib.parse.quote writes it) for every byte not kept.
Ref encode(std::string_view bytes, const Keep& keep) {
    static constexpr char hex[] = "0123456789ABCDEF";
    Py_ssize_t length = 0;
    for (unsigned char c : bytes) length += kept(keep, c) ? 1 : 3;
    Ref out = check(PyUnicode_New(length, 127));
    Py_UCS1* w = PyUnicode_1BYTE_DATA(out.get());
    for (unsigned char c : bytes) {
        if (kept(keep, c)) {
            *w++ = c;
        } else {
            *w++ = '%';
            *w++ = hex[c >> 4];
            *w++ = hex[c & 15];
        }
    }
    return out;
}

// httpx removes "." and ".." segments from the path it is given (RFC 3986),
// after our encoding, which keeps "."; such a segment would take the request
// to another document, collection, project or function. Checked on the text
// itself, before any encoding. Segments before `from` are not looked at.
void refuse_dot_segments(PyObject* text, Py_ssize_t from) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    Py_ssize_t segment = 0, start = 0;
    for (Py_ssize_t i = 0; i <= n; ++i) {
        if (i < n && PyUnicode_READ(kind, data, i) != '/') continue;
        const Py_ssize_t length = i - start;
        bool dots = length == 1 || length == 2;
        for (Py_ssize_t j = start; dots && j < i; ++j) dots = PyUnicode_READ(kind, data, j) == '.';
        if (dots && segment >= from) {
            PyErr_Format(g_state.value_error, "Invalid path %R: '.' and '..' cannot be path segments.", text);
            raise();
        }
        ++segment;
        start = i + 1;
    }
}

// dot_check: the first path segment refused as "." or ".."; -1 for a query value.
Ref encoded_text(PyObject* v, const Keep& keep, Py_ssize_t dot_check) {
    Ref text = to_text(v);
    if (dot_check >= 0) refuse_dot_segments(text.get(), dot_check);
    std::string_view bytes = utf8(text.get());
    if (std::all_of(bytes.begin(), bytes.end(), [&](unsigned char c) { return kept(keep, c); }))
        return text;
    return encode(bytes, keep);
}

bool simple_name(std::string_view name) {
    auto letter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    return !name.empty() && letter(name[0]) &&
           std::all_of(name.begin() + 1, name.end(),
                       [&](unsigned char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

}  // namespace

Ref path_text(PyObject* v) { return encoded_text(v, path_keep, 0); }
Ref function_path_text(PyObject* v) { return encoded_text(v, path_keep, 1); }
Ref query_text(PyObject* v) { return encoded_text(v, query_keep, -1); }

// A dict key as json.dumps names it in the request body, so that the mask
// names the very fields the body carries: a str (or subclass) by its
// characters, a finite float or an int (IntEnum too) as float and int write
// themselves, True, False and None as true, false and null. Any other key,
// and a NaN or infinite float, cannot be serialised by httpx anyway; it keeps
// its format(key, "") text.
Ref json_key_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    if (PyUnicode_Check(v)) return check(PyUnicode_FromObject(v));
    if (v == Py_True) return Ref::borrow(k::true_text);
    if (v == Py_False) return Ref::borrow(k::false_text);
    if (v == Py_None) return Ref::borrow(k::null_text);
    if (PyFloat_Check(v) && std::isfinite(PyFloat_AS_DOUBLE(v))) return check(PyFloat_Type.tp_repr(v));
    if (PyLong_Check(v)) return check(PyLong_Type.tp_repr(v));
    return to_text(v);
}

Ref field_path_text(PyObject* v) {
    Ref text = json_key_text(v);
    std::string_view name = utf8(text.get());
    if (simple_name(name)) return text;  // kept as it is in a query, too
    std::string quoted;
    quoted.reserve(name.size() + 2);
    quoted += '`';
    for (char c : name) {
        if (c == '\\' || c == '`') quoted += '\\';
        quoted += c;
    }
    quoted += '`';
    return encode(quoted, query_keep);
}

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
