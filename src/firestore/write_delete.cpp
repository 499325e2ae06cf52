// overwrite_document, update_document and delete_document.
#include "firestore/document.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "rest/text.h"

namespace fb {

// The document service has no PUT: PATCH without a mask replaces the whole
// document (and creates it when absent), which is what an overwrite means.
BodyTask overwrite_document_body(Ctx& cx) {
    enum Slot { document_path, data, id_token, url, headers, payload, client, response };
    cx.at(207);
    cx.put(url, document_address(cx.slot(document_path)));
    co_return co_await document_request(
        cx, {&k::patch, id_token, data, url, headers, payload, client, response, 208, 209,
             {210, 211, 212, 213}});
}

BodyTask update_document_body(Ctx& cx) {
    enum Slot {
        document_path, data, id_token, fields_to_update, update_mask, url, headers, payload,
        client, response, field
    };
    cx.at(222);
    {
        Ref keys = check(PyObject_CallMethodNoArgs(cx.slot(data), k::keys));
        cx.put(fields_to_update, check(PySequence_List(keys.get())));
    }
    cx.at(223);
    {
        // "&".join(f"updateMask.fieldPaths={field}" for field in fields_to_update)
        PyObject* names = cx.slot(fields_to_update);
        Ref items = check(PyList_New(0));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
            cx.put(field, Ref::borrow(PyList_GET_ITEM(names, i)));
            Ref text = to_text(cx.slot(field));
            Ref item = check(PyUnicode_Concat(k::mask_item, text.get()));
            check_int(PyList_Append(items.get(), item.get()));
        }
        cx.put(update_mask, check(PyUnicode_Join(k::ampersand, items.get())));
    }
    cx.at(225);
    {
        Ref base = document_base_url();
        Ref path = to_text(cx.slot(document_path));
        cx.put(url, concat({base.get(), k::slash, path.get(), k::question_mark, cx.slot(update_mask)}));
    }
    co_return co_await document_request(
        cx, {&k::patch, id_token, data, url, headers, payload, client, response, 226, 227,
             {228, 229, 232, 233}});
}

BodyTask delete_document_body(Ctx& cx) {
    return document_path_request(cx, &k::delete_, 241, {243, 244, 245, 246});
}

}  // namespace fb
