// overwrite_document, update_document and delete_document.
#include "firestore/document.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "module/state.h"
#include "rest/text.h"

namespace fb {
namespace {

enum OverwriteSlot { o_document_path, o_data, o_id_token, o_url, o_headers, o_payload, o_client, o_response };

void build_overwrite(Ctx& cx) {
    cx.at(207);
    cx.put(o_url, document_address(cx.slot(o_document_path)));
    cx.at(208);
    cx.put(o_headers, bearer_headers(cx.slot(o_id_token)));
    cx.at(209);
    cx.put(o_payload, fields_body(cx.slot(o_data)));
}

// The document service has no PUT: PATCH without a mask replaces the whole
// document (and creates it when absent), which is what an overwrite means.
const Request overwrite{&k::patch, o_url, {Keywords::headers_json, {o_headers, o_payload}, 211},
                        {210, 212, 213}, o_client, o_response, build_overwrite};

enum UpdateSlot {
    document_path, data, id_token, fields_to_update, update_mask, url, headers, payload,
    client, response, field
};

void build_update(Ctx& cx) {
    cx.at(222);
    {
        Ref keys = check(PyObject_CallMethodNoArgs(cx.slot(data), k::keys));
        cx.put(fields_to_update, check(PySequence_List(keys.get())));
        // A PATCH without a mask replaces the whole document: every stored
        // field would go. Replacing is what overwrite_document is for.
        if (PyList_GET_SIZE(cx.slot(fields_to_update)) == 0) {
            PyErr_SetObject(g_state.value_error, k::msg_no_fields_to_update);
            raise();
        }
    }
    cx.at(223);
    {
        // "&".join(f"updateMask.fieldPaths={field}" for field in fields_to_update),
        // each name as a field path, encoded as a query value
        PyObject* names = cx.slot(fields_to_update);
        Ref items = check(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
            cx.put(field, Ref::borrow(PyList_GET_ITEM(names, i)));
            Ref text = field_path_text(cx.slot(field));
            Ref item = check(PyUnicode_Concat(k::mask_item, text.get()));
            check_int(PyList_Append(items.get(), item.get()));
        }
        cx.put(update_mask, check(PyUnicode_Join(k::ampersand, items.get())));
    }
    cx.at(225);
    {
        Ref base = document_base_url();
        Ref path = path_text(cx.slot(document_path));
        cx.put(url, concat({base.get(), k::slash, path.get(), k::question_mark, cx.slot(update_mask)}));
    }
    cx.at(226);
    cx.put(headers, bearer_headers(cx.slot(id_token)));
    cx.at(227);
    cx.put(payload, fields_body(cx.slot(data)));
}

const Request update{&k::patch, url, {Keywords::headers_json, {headers, payload}, 229},
                     {228, 232, 233}, client, response, build_update};

void build_delete(Ctx& cx) { build_path_request(cx, 241); }
const Request remove = path_request(&k::delete_, build_delete, 243);

}  // namespace

BodyTask overwrite_document_body(Ctx& cx) { return exchange(cx, overwrite); }
BodyTask update_document_body(Ctx& cx) { return exchange(cx, update); }
BodyTask delete_document_body(Ctx& cx) { return exchange(cx, remove); }

}  // namespace fb
