#include "firestore/document.h"

#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"

namespace fb {

Ref document_base_url() {
    Ref fn = lookup(k::get_firestore_base_url);
    Ref url = check(PyObject_CallNoArgs(fn.get()));
    return to_text(url.get());
}

Ref document_address(PyObject* path) {
    Ref base = document_base_url();
    Ref text = to_text(path);
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

BodyTask document_request(Ctx& cx, DocumentRequest rq) {
    cx.at(rq.headers_line);
    cx.put(rq.headers, bearer_headers(cx.slot(rq.id_token)));
    Request exchange_rq{rq.method, rq.url, Keywords::headers, {rq.headers}, rq.lines,
                        rq.client, rq.response};
    if (rq.data >= 0) {
        cx.at(rq.payload_line);
        cx.put(rq.payload, fields_body(cx.slot(rq.data)));
        exchange_rq.keywords = Keywords::headers_json;
        exchange_rq.values[1] = rq.payload;
    }
    co_return co_await exchange(cx, exchange_rq);
}

BodyTask document_path_request(Ctx& cx, PyObject* const* method, int url_line, ExchangeLines lines) {
    enum Slot { document_path, id_token, url, headers, client, response };
    cx.at(url_line);
    cx.put(url, document_address(cx.slot(document_path)));
    co_return co_await document_request(
        cx, {method, id_token, -1, url, headers, -1, client, response, url_line + 1, 0, lines});
}

}  // namespace fb
