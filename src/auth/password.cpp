// auth_sign_in and auth_sign_up: e-mail and password accounts at the
// identity service. Both post the same body; only the endpoint differs.
#include "auth/identity.h"
#include "module/bodies.h"

namespace fb {
namespace {

enum Param { email, password };

void build_sign_in(Ctx& cx) {
    identity_build(cx, 48, {{k::email, email}, {k::password, password}, {k::returnSecureToken, -1, Py_True}},
                   52, k::url_sign_in);
}

void build_sign_up(Ctx& cx) {
    identity_build(cx, 67, {{k::email, email}, {k::password, password}, {k::returnSecureToken, -1, Py_True}},
                   71, k::url_sign_up);
}

constexpr Request sign_in = identity_request(2, build_sign_in, 53);
constexpr Request sign_up = identity_request(2, build_sign_up, 72);

}  // namespace

BodyTask auth_sign_in_body(Ctx& cx) { return exchange(cx, sign_in); }
BodyTask auth_sign_up_body(Ctx& cx) { return exchange(cx, sign_up); }

}  // namespace fb
