// get_auth_user_data: the account record of the user an ID token names, the
// first element of the lookup reply's "users".
#include "auth/identity.h"
#include "module/bodies.h"
#include "module/constants.h"
#include "module/state.h"

namespace fb {
namespace {

enum Slot { id_token, payload, lookup_endpoint, client, response, data, users };

// Runs while the client is still open, so its failures close the client.
Ref first_user(Ctx& cx, PyObject* reply) {
    cx.put(data, Ref::borrow(reply));
    cx.at(149);
    cx.put(users, check(PyObject_CallMethodOneArg(reply, k::get, k::users)));
    cx.at(150);
    bool missing = !check_int(PyObject_IsTrue(cx.slot(users))) ||
                   check_size(PyObject_Size(cx.slot(users))) == 0;
    if (missing) {
        cx.at(151);
        PyErr_SetObject(g_state.value_error, k::msg_no_user_data);
        raise();
    }
    cx.at(152);
    return check(PyObject_GetItem(cx.slot(users), k::int_0));
}

void build_lookup(Ctx& cx) { identity_build(cx, 143, {{k::idToken, id_token}}, 144, k::url_lookup); }

constexpr Request lookup_request = identity_request(1, build_lookup, 145, first_user);

}  // namespace

BodyTask get_auth_user_data_body(Ctx& cx) { return exchange(cx, lookup_request); }

}  // namespace fb
