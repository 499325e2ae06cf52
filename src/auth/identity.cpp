#include "auth/identity.h"

#include "module/constants.h"

namespace fb {

BodyTask identity_post(Ctx& cx, IdentityCall call, std::array<Member, 3> members, int count) {
    const int payload = cx.def->nparams, endpoint = payload + 1;
    const int client = payload + 2, response = payload + 3;

    cx.at(call.body_line);
    Ref body = check(PyDict_New());
    for (int i = 0; i < count; ++i) {
        const Member& m = members[i];
        check_int(PyDict_SetItem(body.get(), m.key, m.slot >= 0 ? cx.slot(m.slot) : m.constant));
    }
    cx.put(payload, std::move(body));
    cx.at(call.url_line);
    cx.put(endpoint, api_key_url(call.url_prefix));
    co_return co_await exchange(cx, {&k::post, endpoint, Keywords::json, {payload}, call.lines,
                                     client, response, call.treat});
}

}  // namespace fb
