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

BodyTask get_document_body(Ctx& cx) {
    return document_path_request(cx, &k::get, 194, {196, 197, 198, 199});
}

}  // namespace fb
