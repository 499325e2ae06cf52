// What the document operations share: addresses under the document base
// URL, the authorization header and the request body.
#pragma once
#include "rest/exchange.h"

namespace fb {

// The text of get_firestore_base_url(), looked up by name on every call.
Ref document_base_url();
// {"Authorization": "Bearer " + text of the ID token}
Ref bearer_headers(PyObject* id_token);
// {"fields": data}, data itself neither copied nor checked.
Ref fields_body(PyObject* data);

// The document address: base URL, "/", the text of the document path.
Ref document_address(PyObject* path);

// Record slots of one document request, and its source lines.
struct DocumentRequest {
    PyObject* const* method;
    int id_token, data;                // data < 0: no body
    int url, headers, payload, client, response;
    int headers_line, payload_line;
    ExchangeLines lines;
};

// Builds the headers (and the body), then runs the exchange on the address
// already in the `url` slot.
BodyTask document_request(Ctx& cx, DocumentRequest rq);

// get_document and delete_document: the bearer header only, to the document
// address, whose statement is at `url_line`; the header follows on the next.
BodyTask document_path_request(Ctx& cx, PyObject* const* method, int url_line, ExchangeLines lines);

}  // namespace fb
