// Coroutine functions whose bodies are not written yet: they bind and return
// coroutine objects like the others, and running one says so.
#include "module/bodies.h"
#include "runtime/task.h"

namespace fb {
namespace {

BodyTask not_implemented(Ctx& cx) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not implemented yet", cx.def->py_name);
    raise();
    co_return none();
}

}  // namespace

BodyTask verify_email_body(Ctx& cx) { return not_implemented(cx); }
BodyTask send_password_reset_email_body(Ctx& cx) { return not_implemented(cx); }
BodyTask get_auth_user_data_body(Ctx& cx) { return not_implemented(cx); }
BodyTask create_document_body(Ctx& cx) { return not_implemented(cx); }
BodyTask get_document_body(Ctx& cx) { return not_implemented(cx); }
BodyTask overwrite_document_body(Ctx& cx) { return not_implemented(cx); }
BodyTask update_document_body(Ctx& cx) { return not_implemented(cx); }
BodyTask delete_document_body(Ctx& cx) { return not_implemented(cx); }
BodyTask register_new_user_in_firestore_body(Ctx& cx) { return not_implemented(cx); }
BodyTask refresh_id_token_body(Ctx& cx) { return not_implemented(cx); }
BodyTask ensure_valid_token_body(Ctx& cx) { return not_implemented(cx); }
BodyTask trigger_function_body(Ctx& cx) { return not_implemented(cx); }

}  // namespace fb
