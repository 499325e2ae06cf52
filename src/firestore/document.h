// What the document operations share: addresses under the document base
// URL, the authorization header and the request body.
#pragma once
#include "rest/exchange.h"

namespace fb {

// The text of get_firestore_base_url(), looked up by name on every call.
Ref document_base_url();
// The document address: base URL, "/", the document path as a path piece.
Ref document_address(PyObject* path);
// {"Authorization": "Bearer " + text of the ID token}
Ref bearer_headers(PyObject* id_token);
// {"fields": data}, data itself neither copied nor checked.
Ref fields_body(PyObject* data);

// get_document and delete_document build the same way: the document address
// at url_line, the bearer header on the next line.
void build_path_request(Ctx& cx, int url_line);
// The request row of get_document and delete_document.
Request path_request(PyObject* const* method, void (*build)(Ctx&), int context_line);

}  // namespace fb
