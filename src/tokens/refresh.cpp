// refresh_id_token: a refresh token exchanged for new tokens at the secure
// token service; the one form-encoded request of the module.
#include "module/bodies.h"
#include "module/constants.h"
#include "rest/exchange.h"

namespace fb {
namespace {

enum Slot { refresh_token, refresh_endpoint, payload, client, response };

void build_refresh(Ctx& cx) {
    cx.at(314);
    cx.put(refresh_endpoint, api_key_url(k::url_token));
    cx.at(316);
    Ref form = check(PyDict_New());
    check_int(PyDict_SetItem(form.get(), k::grant_type, k::refresh_token));
    check_int(PyDict_SetItem(form.get(), k::refresh_token, cx.slot(refresh_token)));
    cx.put(payload, std::move(form));
}

constexpr Request refresh{&k::post, refresh_endpoint, {Keywords::data, {payload}, 320},
                          {319, 321, 322}, client, response, build_refresh};

}  // namespace

BodyTask refresh_id_token_body(Ctx& cx) { return exchange(cx, refresh); }

}  // namespace fb
