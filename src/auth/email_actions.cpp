// verify_email and send_password_reset_email: the identity service's
// out-of-band code endpoint, asked for a verification or a reset e-mail.
#include "auth/identity.h"
#include "module/bodies.h"

namespace fb {
namespace {

void build_verify(Ctx& cx) {
    enum Param { id_token };
    identity_build(cx, 94, {{k::requestType, -1, k::VERIFY_EMAIL}, {k::idToken, id_token}}, 97,
                   k::url_oob_code);
}

void build_reset(Ctx& cx) {
    enum Param { email };
    identity_build(cx, 113, {{k::requestType, -1, k::PASSWORD_RESET}, {k::email, email}}, 116,
                   k::url_oob_code);
}

constexpr Request verify = identity_request(1, build_verify, 98);
constexpr Request reset = identity_request(1, build_reset, 117);

}  // namespace

BodyTask verify_email_body(Ctx& cx) { return exchange(cx, verify); }
BodyTask send_password_reset_email_body(Ctx& cx) { return exchange(cx, reset); }

}  // namespace fb
