#include "firestore/document.h"

#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"

namespace fb {

namespace {
enum PathSlot { document_path, id_token, url, headers, client, response };
}

Ref document_base_url() {
    Ref fn = lookup(k::get_firestore_base_url);
    Ref url = check(PyObject_CallNoArgs(fn.get()));
    return to_text(url.get());
}

Ref document_address(PyObject* path) {
    Ref base = document_base_url();
    Ref text = path_text(path);
    return concat({base.get(), k::slash, text.get()});
}

Ref bearer_headers(PyObject* id_token) {
    Ref token = to_text(id_token);
    Ref value = check(PyUnicode_Concat(k::bearer, token.get()));
    Ref headers = check(PyDict_New());
    check_int(PyDict_SetItem(headers.get(), k::Authorization, value.get()));
    return headers;
}

Ref fields_body(PyObject* data) {
    Ref body = check(PyDict_New());
    check_int(PyDict_SetItem(body.get(), k::fields, data));
    return body;
}

void build_path_request(Ctx& cx, int url_line) {
    cx.at(url_line);
    cx.put(url, document_address(cx.slot(document_path)));
    cx.at(url_line + 1);
    cx.put(headers, bearer_headers(cx.slot(id_token)));
}

Request path_request(PyObject* const* method, void (*build)(Ctx&), int context_line) {
    return {method, url, {Keywords::headers, {headers}, context_line + 1},
            {context_line, context_line + 2, context_line + 3}, client, response, build};
}

}  // namespace fb
