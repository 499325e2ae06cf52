#include "rest/text.h"

#include <algorithm>
#include <array>
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

Ref encoded_text(PyObject* v, const Keep& keep) {
    Ref text = to_text(v);
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

Ref path_text(PyObject* v) { return encoded_text(v, path_keep); }
Ref query_text(PyObject* v) { return encoded_text(v, query_keep); }

Ref field_path_text(PyObject* v) {
    Ref text = to_text(v);
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
