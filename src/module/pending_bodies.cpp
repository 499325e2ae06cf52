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

BodyTask register_new_user_in_firestore_body(Ctx& cx) { return not_implemented(cx); }
BodyTask ensure_valid_token_body(Ctx& cx) { return not_implemented(cx); }
BodyTask trigger_function_body(Ctx& cx) { return not_implemented(cx); }

}  // namespace fb
