#include "auth/identity.h"

namespace fb {

void identity_build(Ctx& cx, int body_line, std::initializer_list<Member> members, int url_line,
                    PyObject* url_prefix) {
    const int payload = cx.def->nparams, endpoint = payload + 1;
    cx.at(body_line);
    Ref body = check(PyDict_New());
    for (const Member& m : members)
        check_int(PyDict_SetItem(body.get(), m.key, m.slot >= 0 ? cx.slot(m.slot) : m.constant));
    cx.put(payload, std::move(body));
    cx.at(url_line);
    cx.put(endpoint, api_key_url(url_prefix));
}

}  // namespace fb
