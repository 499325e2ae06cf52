// auth_sign_in and auth_sign_up: e-mail and password accounts at the
// identity service. Both post the same body; only the endpoint differs.
#include "auth/identity.h"
#include "module/bodies.h"
#include "module/constants.h"

namespace fb {
namespace {

enum Param { email, password };

BodyTask password_request(Ctx& cx, PyObject* url_prefix, int body_line, int url_line,
                          ExchangeLines lines) {
    return identity_post(cx, {url_prefix, body_line, url_line, lines},
                         {{{k::email, email}, {k::password, password},
                           {k::returnSecureToken, -1, Py_True}}},
                         3);
}

}  // namespace

BodyTask auth_sign_in_body(Ctx& cx) {
    return password_request(cx, k::url_sign_in, 48, 52, {53, 54, 55, 56});
}

BodyTask auth_sign_up_body(Ctx& cx) {
    return password_request(cx, k::url_sign_up, 67, 71, {72, 73, 74, 75});
}

}  // namespace fb
