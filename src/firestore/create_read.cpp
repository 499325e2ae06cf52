// create_document and get_document.
#include "firestore/document.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "rest/text.h"

namespace fb {
namespace {

enum CreateSlot { collection, document_id, data, id_token, url, headers, payload, client, response };

void build_create(Ctx& cx) {
    cx.at(176);
    if (check_int(PyObject_IsTrue(cx.slot(document_id)))) {
        cx.at(177);
        Ref base = document_base_url();
        Ref coll = path_text(cx.slot(collection));
        Ref id = query_text(cx.slot(document_id));
        cx.put(url, concat({base.get(), k::slash, coll.get(), k::query_document_id, id.get()}));
    } else {
        cx.at(179);
        Ref base = document_base_url();
        Ref coll = path_text(cx.slot(collection));
        cx.put(url, concat({base.get(), k::slash, coll.get()}));
    }
    cx.at(180);
    cx.put(headers, bearer_headers(cx.slot(id_token)));
    cx.at(181);
    cx.put(payload, fields_body(cx.slot(data)));
}

const Request create{&k::post, url, {Keywords::headers_json, {headers, payload}, 183},
                     {182, 184, 185}, client, response, build_create};

void build_get(Ctx& cx) { build_path_request(cx, 194); }
const Request get = path_request(&k::get, build_get, 196);

}  // namespace

BodyTask create_document_body(Ctx& cx) { return exchange(cx, create); }
BodyTask get_document_body(Ctx& cx) { return exchange(cx, get); }

}  // namespace fb
