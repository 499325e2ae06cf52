// Every function body, as the function table refers to it.
#pragma once
#include "module/functions.h"

namespace fb {

// Plain functions: arguments in parameter order; new reference or throw PyError.
PyObject* sealed_box_encrypt_body(PyObject* const* args);
PyObject* get_firestore_base_url_body(PyObject* const* args);
PyObject* get_functions_base_url_body(PyObject* const* args);
PyObject* get_token_expiry_body(PyObject* const* args);

// Coroutine functions.
BodyTask auth_sign_in_body(Ctx& cx);
BodyTask auth_sign_up_body(Ctx& cx);
BodyTask verify_email_body(Ctx& cx);
BodyTask send_password_reset_email_body(Ctx& cx);
BodyTask get_auth_user_data_body(Ctx& cx);
BodyTask create_document_body(Ctx& cx);
BodyTask get_document_body(Ctx& cx);
BodyTask overwrite_document_body(Ctx& cx);
BodyTask update_document_body(Ctx& cx);
BodyTask delete_document_body(Ctx& cx);
BodyTask register_new_user_in_firestore_body(Ctx& cx);
BodyTask refresh_id_token_body(Ctx& cx);
BodyTask ensure_valid_token_body(Ctx& cx);
BodyTask trigger_function_body(Ctx& cx);

}  // namespace fb
