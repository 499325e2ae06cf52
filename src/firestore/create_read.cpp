// create_document and get_document.
#include "firestore/document.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "rest/text.h"

namespace fb {

BodyTask create_document_body(Ctx& cx) {
    enum Slot { collection, document_id, data, id_token, url, headers, payload, client, response };
    cx.at(176);
    if (check_int(PyObject_IsTrue(cx.slot(document_id)))) {
        cx.at(177);
        Ref base = document_base_url();
        Ref coll = to_text(cx.slot(collection));
        Ref id = to_text(cx.slot(document_id));
        cx.put(url, concat({base.get(), k::slash, coll.get(), k::query_document_id, id.get()}));
    } else {
        cx.at(179);
        Ref base = document_base_url();
        Ref coll = to_text(cx.slot(collection));
        cx.put(url, concat({base.get(), k::slash, coll.get()}));
    }
    co_return co_await document_request(
        cx, {&k::post, id_token, data, url, headers, payload, client, response, 180, 181,
             {182, 183, 184, 185}});
}

// The document address: base URL, "/", the document path.
Ref document_address(PyObject* path) {
    Ref base = document_base_url();
    Ref text = to_text(path);
    return concat({base.get(), k::slash, text.get()});
}

BodyTask get_document_body(Ctx& cx) {
    enum Slot { document_path, id_token, url, headers, client, response };
    cx.at(194);
    cx.put(url, document_address(cx.slot(document_path)));
    co_return co_await document_request(
        cx, {&k::get, id_token, -1, url, headers, -1, client, response, 195, 0, {196, 197, 198, 199}});
}

}  // namespace fb
