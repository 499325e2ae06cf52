// auth_sign_in and auth_sign_up: e-mail and password accounts at the
// identity service. Both post the same body; only the endpoint differs.
#include "module/bodies.h"
#include "module/constants.h"
#include "rest/exchange.h"

namespace fb {
namespace {

enum Slot { email, password, payload, endpoint, client, response };

struct Lines {
    int body, url;
    ExchangeLines exchange;
};

BodyTask password_request(Ctx& cx, PyObject* const* url_prefix, Lines lines) {
    cx.at(lines.body);
    Ref body = check(PyDict_New());
    check_int(PyDict_SetItem(body.get(), k::email, cx.slot(email)));
    check_int(PyDict_SetItem(body.get(), k::password, cx.slot(password)));
    check_int(PyDict_SetItem(body.get(), k::returnSecureToken, Py_True));
    cx.put(payload, std::move(body));
    cx.at(lines.url);
    cx.put(endpoint, api_key_url(*url_prefix));
    co_return co_await exchange(cx, {&k::post, endpoint, Keywords::json, {payload},
                                     lines.exchange, client, response});
}

}  // namespace

BodyTask auth_sign_in_body(Ctx& cx) {
    return password_request(cx, &k::url_sign_in, {48, 52, {53, 54, 55, 56}});
}

BodyTask auth_sign_up_body(Ctx& cx) {
    return password_request(cx, &k::url_sign_up, {67, 71, {72, 73, 74, 75}});
}

}  // namespace fb
