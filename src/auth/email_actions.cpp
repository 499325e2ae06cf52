// verify_email and send_password_reset_email: the identity service's
// out-of-band code endpoint, asked for a verification or a reset e-mail.
#include "auth/identity.h"
#include "module/bodies.h"
#include "module/constants.h"

namespace fb {

BodyTask verify_email_body(Ctx& cx) {
    enum Param { id_token };
    return identity_post(cx, {k::url_oob_code, 94, 97, {98, 99, 100, 101}},
                         {{{k::requestType, -1, k::VERIFY_EMAIL}, {k::idToken, id_token}}}, 2);
}

BodyTask send_password_reset_email_body(Ctx& cx) {
    enum Param { email };
    return identity_post(cx, {k::url_oob_code, 113, 116, {117, 118, 119, 120}},
                         {{{k::requestType, -1, k::PASSWORD_RESET}, {k::email, email}}}, 2);
}

}  // namespace fb
